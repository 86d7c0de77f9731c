// The line time of characters at the port's settings, and the transmitter's
// queue of what is still going out.
#include "kelvara/readers/serial/LineTime.h"

#include "kelvara/readers/serial/SerialPort.h"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

TEST(LineTime, CountsStartDataParityAndStopBitsRoundedUp)
{
    // A page's data phase (264 bytes and two check bytes), 8-N-1: ten bits a byte.
    EXPECT_EQ(LineTimeUs(266, 9600, 8, line::kNoParity, line::kOneStopBit), 277084); // 277083.3
    EXPECT_EQ(LineTimeUs(266, 4800, 8, line::kNoParity, line::kOneStopBit), 554167);
    EXPECT_EQ(LineTimeUs(12, 115200, 8, line::kNoParity, line::kOneStopBit), 1042); // 1041.7
    // A parity bit and the longer stop bits count too.
    EXPECT_EQ(LineTimeUs(1000, 10000, 8, line::kOddParity, line::kOneStopBit), 1100000);
    EXPECT_EQ(LineTimeUs(1000, 10000, 8, line::kNoParity, line::kTwoStopBits), 1100000);
    EXPECT_EQ(LineTimeUs(1000, 10000, 7, line::kEvenParity, line::kOneAndHalfStopBits), 1050000);
    EXPECT_EQ(LineTimeUs(0, 9600, 8, line::kNoParity, line::kOneStopBit), 0);
    EXPECT_EQ(LineTimeUs(12, 0, 8, line::kNoParity, line::kOneStopBit), 0);
}

TEST(TransmitTimeline, BytesQueueBehindWhatIsStillGoingOut)
{
    TransmitTimeline line;
    EXPECT_EQ(line.Queue(1000, 500), 1500);
    EXPECT_EQ(line.Queue(1200, 100), 1600); // handed over while the first was still out
    EXPECT_EQ(line.Queue(5000, 100), 5100); // the line was idle meanwhile
    line.Clear();
    EXPECT_EQ(line.Queue(10, 5), 15);
}

} // namespace
} // namespace kelvara
