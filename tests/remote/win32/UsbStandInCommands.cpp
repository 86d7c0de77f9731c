// kelvara-host-usb: the USB reader stand-in behind the library, the
// simulator behind it, and the command that reports the transport's
// breaches.
#include "tests/remote/Host.h"
#include "tests/remote/win32/UsbDeviceStandIn.h"

namespace wqn::host::usb {

void AddStandInCommands(Host &host)
{
    static SimulatorDevice device;
    static StandIn standIn(device);
    host.Add("usb-breaches", [](const Tokens &) { return Tokens(standIn.Breaches()); });
}

} // namespace wqn::host::usb
