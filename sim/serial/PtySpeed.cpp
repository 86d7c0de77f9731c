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

bool WritePtySpeed(int fd, std::uint32_t baud)
{
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace wqn::sim
