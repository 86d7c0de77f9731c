// A relay from a TCP port on 127.0.0.1 to a Unix-domain socket, one
// connection through for each connection accepted: how a Windows program
// under Wine (whose sockets have no Unix-domain family) reaches the USB
// reader simulator. Serves on a thread of its own while it lives.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace wqn::host {

class TcpRelay {
public:
    explicit TcpRelay(std::string socketPath);
    ~TcpRelay();
    TcpRelay(const TcpRelay &) = delete;
    TcpRelay &operator=(const TcpRelay &) = delete;

    // The port it listens on; 0 when it could not listen.
    int Port() const { return port_; }

private:
    void Serve();

    std::string socketPath_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace wqn::host
