// UsbChannel on Linux: there is no driver for the reader, so its five
// requests travel over the Unix-domain socket named by WQN_USB_READER, in
// the framing of UsbSocketWire.h. Without the variable, or with nothing
// listening there, Open fails as "no reader plugged in".
#include "kelvara/readers/usb/UsbChannel.h"

#include "common/MonotonicClock.h"

#include "kelvara/readers/usb/UsbSocketWire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace kelvara {
namespace {

std::uint32_t MapErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
        return usb_error::kNoMoreItems;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
        return usb_error::kNotEnoughMemory;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
        return usb_error::kDeviceNotConnected;
    case EBADF:
        return usb_error::kInvalidHandle;
    case ETIMEDOUT:
        return usb_error::kSemTimeout;
    default:
        return usb_error::kGenFailure;
    }
}

// Owns a descriptor until released.
class UniqueFd {
public:
    explicit UniqueFd(int fd)
        : fd_(fd)
    {
    }
    ~UniqueFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int Get() const { return fd_; }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// 0 or an errno value.
int WriteAll(int fd, const std::uint8_t *bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes += n;
        count -= std::size_t(n);
    }
    return 0;
}

// 0, ETIMEDOUT when the deadline passed, ECONNRESET when the peer closed,
// or another errno value.
int ReadExact(int fd, std::uint8_t *bytes, std::size_t count, std::int64_t deadlineMs)
{
    while (count > 0) {
        const std::int64_t left = deadlineMs - (wqn::MonotonicUs() / 1000);
        if (left <= 0)
            return ETIMEDOUT;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (ready == 0)
            return ETIMEDOUT;
        const ssize_t n = ::recv(fd, bytes, count, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno;
        }
        if (n == 0)
            return ECONNRESET;
        bytes += n;
        count -= std::size_t(n);
    }
    return 0;
}

struct Answer {
    std::uint32_t status = 0;
    std::vector<std::uint8_t> bytes;
};

// Sends one request and waits for its answer, dropping late answers to
// earlier requests. 0 or an errno value.
int Exchange(int fd, std::uint32_t code, std::uint32_t sequence, std::uint32_t length, const std::uint8_t *frame,
             int timeoutMs, Answer &answer)
{
    const usb_wire::Header request = usb_wire::Pack(code, sequence, length);
    if (int e = WriteAll(fd, request.data(), request.size()); e != 0)
        return e;
    if (usb_wire::CarriesRequestBytes(code) && length > 0) {
        if (int e = WriteAll(fd, frame, length); e != 0)
            return e;
    }
    const std::int64_t deadline = (wqn::MonotonicUs() / 1000) + timeoutMs;
    for (;;) {
        usb_wire::Header header{};
        if (int e = ReadExact(fd, header.data(), header.size(), deadline); e != 0)
            return e;
        const std::uint32_t count = usb_wire::Field(header, 2);
        answer.status = usb_wire::Field(header, 1);
        answer.bytes.clear();
        if (usb_wire::CarriesAnswerBytes(code) && count > 0) {
            if (count > usb_wire::kMaxPayload)
                return EPROTO;
            answer.bytes.resize(count);
            if (int e = ReadExact(fd, answer.bytes.data(), count, deadline); e != 0)
                return e;
        }
        if (usb_wire::Field(header, 0) == sequence) {
            if (!usb_wire::CarriesAnswerBytes(code))
                answer.bytes.resize(count); // only the count matters
            return 0;
        }
        // An answer to a request given up on earlier: drop it, keep waiting.
    }
}

} // namespace

bool UsbNeedsLegacyTransfers() { return false; }

std::uint32_t UsbChannel::Open()
{
    handle_ = kNoHandle;
    const char *path = std::getenv("WQN_USB_READER");
    if (path == nullptr || *path == '\0')
        return usb_error::kNoMoreItems;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return usb_error::kInvalidParameter;
    std::strcpy(address.sun_path, path);

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0)
        return MapErrno(errno);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EINTR)
            return MapErrno(errno);
        // Interrupted: the connection goes on in the background; wait for it.
        pollfd p{fd.Get(), POLLOUT, 0};
        int ready = 0;
        do {
            ready = ::poll(&p, 1, answerTimeoutMs_);
        } while (ready < 0 && errno == EINTR);
        int error = ready == 0 ? ETIMEDOUT : 0;
        socklen_t size = sizeof error;
        if (ready > 0 && ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        if (error != 0)
            return MapErrno(error);
    }
    handle_ = fd.Release();
    return 0;
}

void UsbChannel::Close()
{
    if (handle_ != kNoHandle) {
        ::close(int(handle_)); // not retried on EINTR: the descriptor is gone either way
        handle_ = kNoHandle;
    }
}

bool UsbChannel::IsOpen() const { return handle_ != kNoHandle; }

std::uint32_t UsbChannel::Transfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame,
                                   std::uint8_t *reply)
{
    if (handle_ == kNoHandle)
        return usb_error::kInvalidHandle; // nowhere to send even the recovery request
    const int fd = int(handle_);
    std::uint32_t result = 0;
    Answer answer;
    if (length > usb_wire::kMaxPayload || frame == nullptr || reply == nullptr) {
        result = usb_error::kInvalidParameter;
    } else if (int e = Exchange(fd, request, ++sequence_, length, frame, answerTimeoutMs_, answer); e != 0) {
        result = MapErrno(e);
    } else if (answer.status != 0) {
        result = answer.status;
    } else {
        const std::size_t moved = std::min<std::size_t>(answer.bytes.size(), length);
        if (usb_wire::CarriesAnswerBytes(request) && moved > 0)
            std::memcpy(reply, answer.bytes.data(), moved);
        return usb_wire::IsLegacy(request) && moved == 0 ? usb_error::kBufferOverflow : 0;
    }
    Answer ignored;
    Exchange(fd, usb_request::kRecover, ++sequence_, length, frame, answerTimeoutMs_, ignored);
    return result;
}

} // namespace kelvara
