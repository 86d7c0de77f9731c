// A bare pty for the serial tests, the test playing the far end of the line.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kelvara::testing {

// The master side of a pty with the slave's path; the test plays the far end.
class BarePty {
public:
    BarePty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[256] = {};
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
            ::ptsname_r(master_, name, sizeof name) == 0) {
            slavePath_ = name;
            // Keep the line up between the port's opens.
            slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios t{};
            ::tcgetattr(master_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~BarePty()
    {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    const std::string &SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

    void Send(const std::vector<std::uint8_t> &bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += std::size_t(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }

    // Whatever arrives from the port within `timeoutMs` of quiet.
    std::vector<std::uint8_t> Receive(int timeoutMs)
    {
        std::vector<std::uint8_t> out;
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) {
                return out;
            }
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                return out;
            }
            out.insert(out.end(), buf, buf + n);
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

} // namespace kelvara::testing
