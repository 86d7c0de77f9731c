// The serial ports of USB serial adapters. Such a port comes back under
// another name when its adapter is plugged in again (/dev/ttyUSB0 becomes
// /dev/ttyUSB1, COM5 becomes COM7), so the serial reader's search asks for
// them afresh every time instead of trusting a stored name. One
// implementation per OS (platform/posix: sysfs; platform/win32: the
// registry's SERIALCOMM map).
#pragma once

#include <string>
#include <vector>

namespace kelvara {

struct SerialAdapter {
    std::string port; // the name to open: a device path on Linux, "COMn" on Windows
    std::string description; // maker, product and USB ids as far as the OS tells; may be empty
};

// The adapters plugged in now, by port name. Linux reads
// /sys/class/tty/<name>/device and the USB device above it (a
// $WQN_DEVICE_ROOT, when set, stands for "/" in both /sys and /dev: tests
// build a tree of their own there). Never throws; empty when nothing can be
// read.
std::vector<SerialAdapter> ListSerialAdapters();

// The description of the USB adapter behind the serial device `device` (a
// path on Linux); "" when it is no USB adapter or nothing can be read.
std::string SerialAdapterDescription(const std::string &device);

} // namespace kelvara
