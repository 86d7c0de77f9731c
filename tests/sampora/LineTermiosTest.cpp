// Line settings as termios flags: what a real serial port would be given
// (a pty forces 8 data bits and no parity, so the end-to-end tests cannot
// see those).
#include "sampora/posix/LineTermios.h"

#include <gtest/gtest.h>

namespace {

using sampora::LineSettings;
using sampora::SetLineSettings;

termios Cooked()
{
    termios tio{};
    tio.c_iflag = ICRNL | IXON | ISTRIP;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = CS7 | PARENB | CSTOPB;
    ::cfsetispeed(&tio, B1200);
    ::cfsetospeed(&tio, B1200);
    tio.c_cc[VMIN] = 1;
    return tio;
}

TEST(LineTermios, DefaultsGiveEightNoneOneAtNineSixHundredInRawMode)
{
    termios tio = Cooked();
    ASSERT_TRUE(SetLineSettings(tio, LineSettings{}));
    EXPECT_EQ(::cfgetospeed(&tio), B9600);
    EXPECT_EQ(::cfgetispeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), 0u);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
}

TEST(LineTermios, OddParityTwoStopBitsAndByteSizes)
{
    LineSettings line;
    line.oddParity = true;
    line.twoStopBits = true;
    line.baud = 19200;
    for (unsigned bits : {5u, 6u, 7u, 8u}) {
        line.dataBits = bits;
        termios tio = Cooked();
        ASSERT_TRUE(SetLineSettings(tio, line));
        const tcflag_t expected = bits == 5 ? CS5 : bits == 6 ? CS6 : bits == 7 ? CS7 : CS8;
        EXPECT_EQ(tio.c_cflag & CSIZE, expected) << bits;
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
        EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(::cfgetospeed(&tio), B19200);
    }
}

TEST(LineTermios, UnsupportedSpeedOrSizeKeepsTheLineButStillGoesRaw)
{
    for (LineSettings line : {LineSettings{1, 12345, 8, true, true}, LineSettings{1, 9600, 9, true, true}}) {
        termios tio = Cooked();
        EXPECT_FALSE(SetLineSettings(tio, line));
        EXPECT_EQ(::cfgetospeed(&tio), B1200);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
        EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    }
}

} // namespace
