// A stand-in for the maker's USB reader and its driver on Windows, where
// neither exists: it takes the place of the system calls of the library's
// USB transport (kelvara/platform/win32/UsbDeviceApi.h), so the real
// transport code runs against it. It checks every call the way the Setup
// API and the driver rely on them (the interface class and flags, member 0
// only, the detail buffer sizes, the open flags, the five request codes,
// equal input and output sizes, a recovery request after each failed
// request and only then, handles) and records each call and each breach.
// What the device answers comes from a Device: a scripted one in tests, or
// the USB reader simulator reached over TCP (SimulatorDevice).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wqn::host::usb {

class Device {
public:
    virtual ~Device() = default;
    // How many readers the Setup API lists (the stand-in offers only one
    // device path; the others stand for further readers).
    virtual int Plugged() = 0;
    // CreateFileA of the reader: 0, or the Windows error code.
    virtual DWORD Open() = 0;
    virtual void Close() = 0;
    // One driver request of the open device: 0 (with the count of bytes
    // moved) or the Windows error code.
    virtual DWORD Request(DWORD code, const std::uint8_t *in, DWORD size, std::uint8_t *out, DWORD *moved) = 0;
};

// Installs itself as the transport's calls while it lives. One at a time.
class StandIn {
public:
    explicit StandIn(Device &device);
    ~StandIn();
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

    // One line per call, e.g. "list", "enum 0", "detail size", "detail",
    // "open", "request 0x22200C 12", "recover 12", "close", "destroy".
    const std::vector<std::string> &Calls() const;
    // What the transport did wrong, one line each.
    const std::vector<std::string> &Breaches() const;
    void Clear();

    // The device path the Setup API reports for the reader.
    static const char *DevicePath();
};

// The USB reader simulator behind the harness's TCP relay (host:port in the
// environment variable WQN_USB_READER_TCP), spoken to in the request framing
// of kelvara/readers/usb/UsbSocketWire.h. Without the variable no reader is plugged.
class SimulatorDevice final : public Device {
public:
    SimulatorDevice();
    ~SimulatorDevice() override;
    int Plugged() override;
    DWORD Open() override;
    void Close() override;
    DWORD Request(DWORD code, const std::uint8_t *in, DWORD size, std::uint8_t *out, DWORD *moved) override;

private:
    std::string address_;
    std::uintptr_t socket_;
    std::uint32_t sequence_ = 0;
};

} // namespace wqn::host::usb
