// SerialPort on Windows: a COM port opened with CreateFileA under its name
// and a colon, synchronous I/O, the driver's queue read through
// ClearCommError; writes wait out their line time.
#include "kelvara/readers/serial/SerialPort.h"

#include "common/MonotonicClock.h"

#include "common/win32/WindowsHeaders.h"

#include <algorithm>

namespace kelvara {
namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The receive queue's length, or false when the port's state cannot be read
// (which also clears any line error).
bool QueuedBytes(HANDLE h, DWORD &queued)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(h, &errors, &status)) {
        return false;
    }
    queued = status.cbInQue;
    return true;
}

} // namespace

std::string SerialDevicePath(std::string_view name) { return std::string(name) + ":"; }

SerialPort::~SerialPort() { ClosePort(); }

int SerialPort::OpenPort(std::string_view name, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                         std::uint8_t stopBits)
{
    const std::string path = SerialDevicePath(name);
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        (void)::GetLastError();
        handle_ = kNoHandle;
        return open_result::kNotOpened;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    if (!::SetupComm(h, kSerialQueueSize, kSerialQueueSize)) {
        ClosePort();
        return open_result::kNotConfigured;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) {
        ClosePort();
        return open_result::kNotConfigured;
    }
    dcb.BaudRate = baudRate;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    if (!::SetCommState(h, &dcb)) {
        ClosePort();
        return open_result::kNotConfigured;
    }
    COMMTIMEOUTS timeouts{};
    if (::GetCommTimeouts(h, &timeouts)) {
        timeouts.ReadIntervalTimeout = 20;
        timeouts.ReadTotalTimeoutMultiplier = 10;
        timeouts.ReadTotalTimeoutConstant = 100;
        timeouts.WriteTotalTimeoutMultiplier = 10;
        timeouts.WriteTotalTimeoutConstant = 100;
        ::SetCommTimeouts(h, &timeouts);
    }
    name_ = std::string(name);
    baudRate_ = baudRate;
    byteSize_ = byteSize;
    parity_ = parity;
    stopBits_ = stopBits;
    return open_result::kOpened;
}

int SerialPort::ClosePort()
{
    if (handle_ == kNoHandle) {
        return 1;
    }
    if (!::CloseHandle(H(handle_))) {
        return 0;
    }
    handle_ = kNoHandle;
    transmit_.Clear();
    return 1;
}

int SerialPort::WriteBytes(const std::uint8_t *buffer, std::uint32_t length)
{
    if (length > kSerialQueueSize || handle_ == kNoHandle) {
        return 0;
    }
    // Many drivers complete WriteFile once their own buffer holds the bytes
    // (USB serial adapters; Wine on a pty): the bytes are out no earlier
    // than the write's start plus their line time, queued behind any still
    // going out, and a reply's time-out must not run before that.
    const std::int64_t idleAtUs =
        transmit_.Queue(wqn::MonotonicUs(), LineTimeUs(length, baudRate_, byteSize_, parity_, stopBits_));
    DWORD written = 0;
    if (!::WriteFile(H(handle_), buffer, length, &written, nullptr)) {
        return 0;
    }
    wqn::SleepUntilUs(idleAtUs);
    return 1;
}

int SerialPort::ReadAvailable(std::uint8_t *buffer, std::uint32_t &count)
{
    return ReadAvailable(buffer, count, kSerialQueueSize) ? 1 : 0;
}

bool SerialPort::ReadAvailable(std::uint8_t *buffer, std::uint32_t &count, std::uint32_t room)
{
    count = 0;
    if (handle_ == kNoHandle) {
        return false;
    }
    DWORD queued = 0;
    if (!QueuedBytes(H(handle_), queued)) {
        return false;
    }
    const DWORD want = std::min<DWORD>({queued, DWORD(kSerialQueueSize), DWORD(room)});
    if (want == 0) {
        return true;
    }
    DWORD read = 0;
    if (!::ReadFile(H(handle_), buffer, want, &read, nullptr)) {
        return false;
    }
    count = read;
    return true;
}

void SerialPort::Flush()
{
    if (handle_ == kNoHandle) {
        return;
    }
    ::PurgeComm(H(handle_), PURGE_TXCLEAR | PURGE_RXCLEAR);
    transmit_.Clear();
    // Bytes that arrived during the purge go through one fixed buffer large
    // enough for a full driver queue.
    std::uint8_t scratch[kSerialQueueSize];
    std::uint32_t count = 0;
    ReadAvailable(scratch, count, sizeof scratch);
}

void SerialPort::WaitForInput(int timeoutMs)
{
    if (timeoutMs <= 0) {
        return;
    }
    // Comm events would need overlapped I/O; short sleeps keep the CPU idle
    // and notice a reply within a few milliseconds.
    const std::int64_t deadlineUs = wqn::MonotonicUs() + std::int64_t(timeoutMs) * 1000;
    for (;;) {
        DWORD queued = 0;
        if (handle_ != kNoHandle && QueuedBytes(H(handle_), queued) && queued > 0) {
            return;
        }
        const std::int64_t nowUs = wqn::MonotonicUs();
        if (nowUs >= deadlineUs) {
            return;
        }
        wqn::SleepUntilUs(std::min(deadlineUs, nowUs + 2000));
    }
}

void SerialPort::Reopen()
{
    ClosePort();
    if (!name_.empty()) {
        OpenPort(name_, baudRate_, byteSize_, parity_, stopBits_);
    }
}

} // namespace kelvara
