// SerialPort on Linux: a tty opened with O_NOCTTY, raw at the requested
// speed, read through FIONREAD, waited on with poll(); writes drain with
// tcdrain() and then wait out their line time.
#include "kelvara/readers/serial/SerialPort.h"

#include "common/MonotonicClock.h"

#include "kelvara/platform/posix/LineSpeed.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kelvara {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// Raw 8-bit line with the Win32-coded size, parity and stop bits; no flow
// control, no echo, reads never block (VMIN = VTIME = 0).
bool Configure(int fd, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity, std::uint8_t stopBits)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    switch (byteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    case 8:
        t.c_cflag |= CS8;
        break;
    default:
        return false;
    }
    switch (parity) {
    case line::kNoParity:
        break;
    case line::kOddParity:
        t.c_cflag |= PARENB | PARODD;
        t.c_iflag |= INPCK;
        break;
    case line::kEvenParity:
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK;
        break;
    default:
        return false; // mark and space parity: not offered by termios
    }
    switch (stopBits) {
    case line::kOneStopBit:
        break;
    case line::kTwoStopBits:
        t.c_cflag |= CSTOPB;
        break;
    default:
        return false; // 1.5 stop bits
    }
    t.c_cflag |= CLOCAL | CREAD;
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        return false;
    }
    if (!posix::SetLineSpeed(fd, baudRate)) {
        return false;
    }
    // Raise DTR and RTS as the Windows driver does on open; ptys have no
    // modem lines, so a refusal is not an error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    return true;
}

int QueuedBytes(int fd)
{
    int queued = 0;
    return ::ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

} // namespace

std::string SerialDevicePath(std::string_view name)
{
    const bool comN = name.size() > 3 && std::tolower((unsigned char)name[0]) == 'c' &&
        std::tolower((unsigned char)name[1]) == 'o' && std::tolower((unsigned char)name[2]) == 'm';
    if (comN) {
        unsigned long number = 0;
        bool digits = true;
        for (char c : name.substr(3)) {
            if (c < '0' || c > '9' || number > 100000) {
                digits = false;
                break;
            }
            number = number * 10 + unsigned(c - '0');
        }
        if (digits && number >= 1) {
            const std::string variable = "WQN_COM" + std::to_string(number);
            if (const char *path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') {
                return path;
            }
            return "/dev/ttyS" + std::to_string(number - 1);
        }
    }
    return std::string(name);
}

SerialPort::~SerialPort() { ClosePort(); }

int SerialPort::OpenPort(std::string_view name, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                         std::uint8_t stopBits)
{
    const std::string path = SerialDevicePath(name);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        handle_ = kNoHandle;
        return open_result::kNotOpened;
    }
    // Another process holding the port makes it "in use", as on Windows.
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(fd);
        handle_ = kNoHandle;
        return open_result::kNotOpened;
    }
    handle_ = fd;
    const int flags = ::fcntl(fd, F_GETFL);
    if (!Configure(fd, baudRate, byteSize, parity, stopBits) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ClosePort();
        return open_result::kNotConfigured;
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
    // Linux releases the descriptor even when close reports an error, so
    // the handle is cleared in every case; only EBADF is a refusal.
    const int rc = ::close(Fd(handle_));
    const bool refused = rc != 0 && errno == EBADF;
    handle_ = kNoHandle;
    transmit_.Clear();
    return refused ? 0 : 1;
}

int SerialPort::WriteBytes(const std::uint8_t *buffer, std::uint32_t length)
{
    if (length > kSerialQueueSize || handle_ == kNoHandle) {
        return 0;
    }
    const int fd = Fd(handle_);
    const std::int64_t idleAtUs =
        transmit_.Queue(wqn::MonotonicUs(), LineTimeUs(length, baudRate_, byteSize_, parity_, stopBits_));
    std::uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, buffer + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        done += std::uint32_t(n);
    }
    int drained;
    do {
        drained = ::tcdrain(fd);
    } while (drained != 0 && errno == EINTR);
    // A UART's drain ends when the last stop bit is out, but a pty or a USB
    // adapter reports "drained" as soon as its own buffer took the bytes.
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
    const int queued = QueuedBytes(Fd(handle_));
    if (queued < 0) {
        return false;
    }
    std::uint32_t want = std::uint32_t(queued);
    want = want < kSerialQueueSize ? want : kSerialQueueSize;
    want = want < room ? want : room;
    if (want == 0) {
        return true;
    }
    ssize_t n;
    do {
        n = ::read(Fd(handle_), buffer, want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return false;
    }
    count = std::uint32_t(n);
    return true;
}

void SerialPort::Flush()
{
    if (handle_ == kNoHandle) {
        return;
    }
    const int fd = Fd(handle_);
    ::tcflush(fd, TCIOFLUSH);
    transmit_.Clear();
    // Bytes that arrived during the flush are drained through one fixed
    // buffer large enough for a full driver queue.
    std::uint8_t scratch[kSerialQueueSize];
    for (int round = 0; round < 64; ++round) {
        std::uint32_t count = 0;
        if (!ReadAvailable(scratch, count, sizeof scratch) || count == 0) {
            break;
        }
    }
}

void SerialPort::WaitForInput(int timeoutMs)
{
    if (timeoutMs <= 0) {
        return;
    }
    if (handle_ == kNoHandle) {
        wqn::SleepMs(timeoutMs);
        return;
    }
    const std::int64_t deadline = (wqn::MonotonicUs() / 1000) + timeoutMs;
    for (;;) {
        const std::int64_t left = deadline - (wqn::MonotonicUs() / 1000);
        if (left <= 0) {
            return;
        }
        pollfd p{Fd(handle_), POLLIN, 0};
        const int rc = ::poll(&p, 1, int(left));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc > 0 && (p.revents & POLLIN) == 0) {
            // A hung-up or failed line reports itself at once and forever;
            // sleep out the wait instead of spinning on it.
            const std::int64_t rest = deadline - (wqn::MonotonicUs() / 1000);
            if (rest > 0) {
                wqn::SleepMs(int(rest));
            }
        }
        return;
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
