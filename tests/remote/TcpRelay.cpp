// The TCP relay to a Unix-domain socket.
#include "tests/remote/TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace wqn::host {
namespace {

int ConnectUnix(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::strcpy(address.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Moves what `from` has to `to`; false when either side is done.
bool Pass(int from, int to)
{
    char bytes[16384];
    const ssize_t n = ::read(from, bytes, sizeof bytes);
    if (n <= 0)
        return false;
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::send(to, bytes + done, std::size_t(n - done), MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        done += w;
    }
    return true;
}

} // namespace

TcpRelay::TcpRelay(std::string socketPath)
    : socketPath_(std::move(socketPath))
{
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listen_, 8) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TcpRelay::~TcpRelay()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
    if (listen_ >= 0)
        ::close(listen_);
}

void TcpRelay::Serve()
{
    struct Pair {
        int tcp;
        int unix;
    };
    std::vector<Pair> pairs;
    while (!stop_.load()) {
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        for (const Pair &p : pairs) {
            fds.push_back({p.tcp, POLLIN, 0});
            fds.push_back({p.unix, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        // The pairs polled first, then a new connection.
        std::vector<Pair> alive;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const pollfd &tcp = fds[1 + 2 * i];
            const pollfd &unix = fds[2 + 2 * i];
            bool open = true;
            if (tcp.revents & (POLLIN | POLLHUP | POLLERR))
                open = Pass(pairs[i].tcp, pairs[i].unix);
            if (open && (unix.revents & (POLLIN | POLLHUP | POLLERR)))
                open = Pass(pairs[i].unix, pairs[i].tcp);
            if (open) {
                alive.push_back(pairs[i]);
            } else {
                ::close(pairs[i].tcp);
                ::close(pairs[i].unix);
            }
        }
        pairs = alive;
        if (fds[0].revents & POLLIN) {
            const int tcp = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (tcp >= 0) {
                const int one = 1;
                ::setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                const int unix = ConnectUnix(socketPath_);
                if (unix >= 0)
                    pairs.push_back({tcp, unix});
                else
                    ::close(tcp); // nothing listens there: the reader is unplugged
            }
        }
    }
    for (const Pair &p : pairs) {
        ::close(p.tcp);
        ::close(p.unix);
    }
}

} // namespace wqn::host
