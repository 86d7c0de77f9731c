// Line settings as termios flags.
#include "sampora/posix/LineTermios.h"

namespace sampora {

namespace {

bool SpeedFor(unsigned baud, speed_t &speed)
{
    switch (baud) {
    case 50:
        speed = B50;
        return true;
    case 75:
        speed = B75;
        return true;
    case 110:
        speed = B110;
        return true;
    case 134:
        speed = B134;
        return true;
    case 150:
        speed = B150;
        return true;
    case 200:
        speed = B200;
        return true;
    case 300:
        speed = B300;
        return true;
    case 600:
        speed = B600;
        return true;
    case 1200:
        speed = B1200;
        return true;
    case 1800:
        speed = B1800;
        return true;
    case 2400:
        speed = B2400;
        return true;
    case 4800:
        speed = B4800;
        return true;
    case 9600:
        speed = B9600;
        return true;
    case 19200:
        speed = B19200;
        return true;
    case 38400:
        speed = B38400;
        return true;
    case 57600:
        speed = B57600;
        return true;
    case 115200:
        speed = B115200;
        return true;
    case 230400:
        speed = B230400;
        return true;
    case 460800:
        speed = B460800;
        return true;
    case 921600:
        speed = B921600;
        return true;
    default:
        return false;
    }
}

bool SizeFor(unsigned bits, tcflag_t &size)
{
    switch (bits) {
    case 5:
        size = CS5;
        return true;
    case 6:
        size = CS6;
        return true;
    case 7:
        size = CS7;
        return true;
    case 8:
        size = CS8;
        return true;
    default:
        return false;
    }
}

} // namespace

bool SetLineSettings(termios &tio, const LineSettings &line)
{
    // The end mark 0x03 is Ctrl-C: without these changes the terminal layer
    // would swallow it, echo bytes back or translate line ends.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed;
    tcflag_t size;
    if (!SpeedFor(line.baud, speed) || !SizeFor(line.dataBits, size))
        return false;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    if (line.oddParity)
        tio.c_cflag |= PARENB | PARODD;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    if (line.twoStopBits)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    return true;
}

} // namespace sampora
