// termios2 access for the simulator (kept apart: the kernel's termbits
// clash with <termios.h>).
#include "sim/serial/PtySpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace wqn::sim {

bool ReadPtySpeed(int fd, std::uint32_t &baud)
{
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    baud = t.c_ospeed;
    return true;
}

namespace {

// The line's speed code: the standard one where the speed has one, as a
// port driver reports it (a Windows program under Wine reads nothing else),
// else "the speed in c_ospeed".
tcflag_t SpeedCode(std::uint32_t baud)
{
    switch (baud) {
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return BOTHER;
    }
}

} // namespace

bool WritePtySpeed(int fd, std::uint32_t baud)
{
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= SpeedCode(baud) | (SpeedCode(baud) << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace wqn::sim
