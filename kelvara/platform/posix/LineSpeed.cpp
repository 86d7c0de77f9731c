// termios2 access for arbitrary line speeds (see LineSpeed.h).
#include "kelvara/platform/posix/LineSpeed.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace kelvara::posix {

bool SetLineSpeed(int fd, std::uint32_t baud)
{
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    int rc;
    do {
        rc = ::ioctl(fd, TCSETS2, &t);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        return false;
    }
    struct termios2 check {};
    return ::ioctl(fd, TCGETS2, &check) == 0 && check.c_ospeed == baud;
}

bool GetLineSpeed(int fd, std::uint32_t &baud)
{
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    baud = t.c_ospeed;
    return true;
}

} // namespace kelvara::posix
