// The serial port on Linux: a termios device. COMn is the path in the
// environment variable WQN_COMn, else /dev/ttyS<n-1>.
#include "sampora/ComPort.h"

#include "sampora/posix/LineTermios.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace sampora {

namespace {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd_(fd)
    {
    }
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void Reset()
    {
        if (fd_ >= 0)
            ::close(fd_); // not retried: Linux releases the descriptor even on EINTR
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

int TcSetAttr(int fd, const termios &tio)
{
    int r;
    do
        r = ::tcsetattr(fd, TCSANOW, &tio);
    while (r != 0 && errno == EINTR);
    return r;
}

void Configure(int fd, const LineSettings &line)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return; // not a terminal: leave it as it is
    SetLineSettings(tio, line);
    TcSetAttr(fd, tio);
    // DTR and RTS on, as the reader expects; ptys reject this harmlessly.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
}

} // namespace

std::string PortDeviceName(unsigned port)
{
    const std::string variable = "WQN_COM" + std::to_string(port);
    if (const char *path = std::getenv(variable.c_str()); path != nullptr && *path != '\0')
        return path;
    return "/dev/ttyS" + std::to_string(port - 1);
}

struct ComPort::Impl {
    Fd fd;
};

ComPort::ComPort()
    : impl_(std::make_unique<Impl>())
{
}
ComPort::~ComPort() { Close(); }

bool ComPort::Open(const LineSettings &line)
{
    Close();
    const std::string path = PortDeviceName(line.port);
    int raw;
    do
        raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (raw < 0 && errno == EINTR);
    if (raw < 0)
        return false;
    Fd fd(raw);
    // No sharing: others cannot open the port while it is ours.
    if (::ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY) {
        const int reason = errno;
        fd.Reset();
        errno = reason; // the caller reports why
        return false;
    }
    Configure(fd.get(), line);
    impl_->fd = std::move(fd);
    return true;
}

void ComPort::Close()
{
    if (impl_->fd.get() < 0)
        return;
    ::ioctl(impl_->fd.get(), TIOCNXCL); // the next open, ours or another's, must succeed
    impl_->fd.Reset();
}

bool ComPort::IsOpen() const { return impl_->fd.get() >= 0; }

int ComPort::Write(const std::uint8_t *bytes, std::size_t count)
{
    const int fd = impl_->fd.get();
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The driver's buffer is full: give it up to a second to drain.
            pollfd p{fd, POLLOUT, 0};
            int r;
            do
                r = ::poll(&p, 1, 1000);
            while (r < 0 && errno == EINTR);
            if (r <= 0)
                return -1;
            continue;
        }
        return -1;
    }
    return static_cast<int>(done);
}

int ComPort::Read(std::uint8_t *buffer, std::size_t maximum)
{
    const int fd = impl_->fd.get();
    if (fd < 0)
        return -1;
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0)
        waiting = static_cast<int>(maximum); // not a tty: just try
    if (waiting <= 0)
        return 0;
    const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(waiting), maximum);
    for (;;) {
        const ssize_t n = ::read(fd, buffer, want);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

void ComPort::WaitForInput(int milliseconds)
{
    const int fd = impl_->fd.get();
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do
            r = ::poll(&p, 1, milliseconds);
        while (r < 0 && errno == EINTR);
        // Data to read ends the wait early. A hung-up line reports itself at
        // once and for good; sleep instead so the caller does not spin.
        if (r <= 0 || (p.revents & POLLIN) != 0)
            return;
    }
    timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace sampora
