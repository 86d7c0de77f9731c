// The serial port on Windows: "COMn" opened with CreateFileA, reads that
// return at once, and the DCB set from the line settings.
#include "sampora/ComPort.h"

#include "common/win32/WindowsHeaders.h"

#include <algorithm>
#include <cstdio>

namespace sampora {

struct ComPort::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

ComPort::ComPort()
    : impl_(std::make_unique<Impl>())
{
}
ComPort::~ComPort() { Close(); }

std::string PortDeviceName(unsigned port) { return "COM" + std::to_string(port); }

bool ComPort::Open(const LineSettings &line)
{
    Close();
    const std::string name = PortDeviceName(line.port);
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;

    // Reads return whatever is there after at most 1 ms between bytes; writes
    // have no time-out. A failure leaves the driver's defaults.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    ::SetCommTimeouts(h, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(h, &dcb)) {
        dcb.BaudRate = line.baud;
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.Parity = line.oddParity ? ODDPARITY : NOPARITY;
        dcb.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
        dcb.XonLim = 0;
        dcb.XoffLim = 0;
        dcb.fBinary = TRUE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ::SetCommState(h, &dcb); // a rejected setting leaves the line as it was
    }
    impl_->handle = h;
    return true;
}

void ComPort::Close()
{
    if (impl_->handle == INVALID_HANDLE_VALUE)
        return;
    ::CloseHandle(impl_->handle);
    impl_->handle = INVALID_HANDLE_VALUE;
}

bool ComPort::IsOpen() const { return impl_->handle != INVALID_HANDLE_VALUE; }

int ComPort::Write(const std::uint8_t *bytes, std::size_t count)
{
    if (impl_->handle == INVALID_HANDLE_VALUE)
        return -1;
    DWORD written = 0;
    if (!::WriteFile(impl_->handle, bytes, static_cast<DWORD>(count), &written, nullptr))
        return -1;
    return static_cast<int>(written);
}

int ComPort::Read(std::uint8_t *buffer, std::size_t maximum)
{
    if (impl_->handle == INVALID_HANDLE_VALUE)
        return -1;
    DWORD errors = 0;
    COMSTAT stat{};
    ::ClearCommError(impl_->handle, &errors, &stat);
    if (stat.cbInQue == 0)
        return 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(stat.cbInQue, maximum));
    DWORD got = 0;
    if (!::ReadFile(impl_->handle, buffer, want, &got, nullptr))
        return -1;
    return static_cast<int>(got);
}

void ComPort::WaitForInput(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

} // namespace sampora
