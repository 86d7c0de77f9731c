// SerialPort on a real pty: naming, opening, the 1024-byte limits, reading
// what is queued, flushing.
#include "kelvara/readers/serial/SerialPort.h"

#include "PtyTestSupport.h"
#include "sim/serial/PtySpeed.h"
#include "tests/support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

namespace kelvara {
namespace {

using testing::BarePty;
using testing::ScopedEnv;

TEST(SerialDevicePath, ComNamesMapThroughTheEnvironmentOrToTtyS)
{
    ScopedEnv unset("WQN_COM3", "");
    EXPECT_EQ(SerialDevicePath("com3"), "/dev/ttyS2");
    EXPECT_EQ(SerialDevicePath("COM12"), "/dev/ttyS11");
    ScopedEnv com3("WQN_COM3", "/dev/ttyUSB0");
    EXPECT_EQ(SerialDevicePath("Com3"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialDevicePath("/dev/ttyACM1"), "/dev/ttyACM1");
    EXPECT_EQ(SerialDevicePath("com"), "com");
    EXPECT_EQ(SerialDevicePath("com1x"), "com1x");
}

class SerialPortTest : public ::testing::Test {
protected:
    int Open(std::uint32_t baud = 115200) { return port.OpenPort("com7", baud, 8, line::kNoParity, line::kOneStopBit); }

    // Waits until `want` bytes are queued at the port (bounded).
    void AwaitQueued(std::uint32_t want)
    {
        for (int i = 0; i < 100; ++i) {
            int queued = 0;
            ::ioctl(pty.Slave(), FIONREAD, &queued);
            if (std::uint32_t(queued) >= want) {
                return;
            }
            port.WaitForInput(10);
        }
    }

    BarePty pty;
    ScopedEnv env{"WQN_COM7", pty.SlavePath()};
    SerialPort port;
};

TEST_F(SerialPortTest, OpensAtTheRequestedSpeedIncludingOnesWithoutATermiosConstant)
{
    for (std::uint32_t baud : {4800u, 14400u, 57600u, 115200u}) {
        ASSERT_EQ(port.ClosePort(), 1);
        ASSERT_EQ(Open(baud), open_result::kOpened) << baud;
        std::uint32_t seen = 0;
        ASSERT_TRUE(wqn::sim::ReadPtySpeed(pty.Slave(), seen));
        EXPECT_EQ(seen, baud);
        EXPECT_EQ(port.BaudRate(), baud);
    }
    EXPECT_EQ(port.PortName(), "com7");
    EXPECT_EQ(port.ByteSize(), 8);
}

TEST_F(SerialPortTest, MissingPortGivesMinusOneAndKeepsTheLastGoodSettings)
{
    ASSERT_EQ(Open(9600), open_result::kOpened);
    ASSERT_EQ(port.ClosePort(), 1);
    ScopedEnv missing("WQN_COM9", "/nonexistent/tty");
    EXPECT_EQ(port.OpenPort("com9", 4800, 8, 0, 0), open_result::kNotOpened);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.PortName(), "com7");
    EXPECT_EQ(port.BaudRate(), 9600u);
}

TEST_F(SerialPortTest, DeviceThatIsNotATtyGivesZeroAndIsClosed)
{
    ScopedEnv notTty("WQN_COM8", "/dev/null");
    EXPECT_EQ(port.OpenPort("com8", 4800, 8, 0, 0), open_result::kNotConfigured);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, UnsupportedLineSettingsGiveZero)
{
    EXPECT_EQ(port.OpenPort("com7", 4800, 9, 0, 0), open_result::kNotConfigured);
    EXPECT_EQ(port.OpenPort("com7", 4800, 8, 0, 1), open_result::kNotConfigured); // 1.5 stop bits
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, PortHeldByAnotherOwnerIsInUse)
{
    ASSERT_EQ(Open(), open_result::kOpened);
    SerialPort other;
    EXPECT_EQ(other.OpenPort("com7", 4800, 8, 0, 0), open_result::kNotOpened);
    port.ClosePort();
    EXPECT_EQ(other.OpenPort("com7", 4800, 8, 0, 0), open_result::kOpened);
}

TEST_F(SerialPortTest, CloseIsHarmlessWhenClosed)
{
    EXPECT_EQ(port.ClosePort(), 1);
    ASSERT_EQ(Open(), open_result::kOpened);
    EXPECT_EQ(port.ClosePort(), 1);
    EXPECT_EQ(port.ClosePort(), 1);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, WritesUpTo1024BytesAndRefusesMore)
{
    ASSERT_EQ(Open(), open_result::kOpened);
    std::vector<std::uint8_t> bytes(1025);
    std::iota(bytes.begin(), bytes.end(), 0);
    EXPECT_EQ(port.WriteBytes(bytes.data(), 1025), 0);
    EXPECT_TRUE(pty.Receive(50).empty());
    EXPECT_EQ(port.WriteBytes(bytes.data(), 1024), 1);
    const auto got = pty.Receive(200);
    EXPECT_EQ(got, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 1024));
}

TEST_F(SerialPortTest, WriteReturnsOnlyOnceTheBytesHadTheirLineTime)
{
    // A pty takes the bytes at once and reports them drained; the write
    // still lasts as long as they take on a line at the port's speed.
    ASSERT_EQ(Open(9600), open_result::kOpened);
    std::vector<std::uint8_t> data(266, 0x3C);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port.WriteBytes(data.data(), std::uint32_t(data.size())), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(LineTimeUs(266, 9600, 8, line::kNoParity, line::kOneStopBit)));
    EXPECT_EQ(pty.Receive(50).size(), data.size());
}

TEST_F(SerialPortTest, ReadsWhatIsQueuedAtMost1024AtATime)
{
    ASSERT_EQ(Open(), open_result::kOpened);
    std::uint8_t buffer[1024];
    std::uint32_t count = 99;
    EXPECT_EQ(port.ReadAvailable(buffer, count), 1);
    EXPECT_EQ(count, 0u);

    std::vector<std::uint8_t> bytes(1500);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = std::uint8_t(i * 7);
    }
    pty.Send(bytes);
    AwaitQueued(1500);
    std::vector<std::uint8_t> got;
    for (const std::uint32_t expected : {1024u, 476u}) {
        ASSERT_EQ(port.ReadAvailable(buffer, count), 1);
        EXPECT_EQ(count, expected);
        got.insert(got.end(), buffer, buffer + count);
    }
    EXPECT_EQ(got, bytes);

    // The room a caller gives is respected.
    pty.Send({1, 2, 3, 4, 5});
    AwaitQueued(5);
    ASSERT_TRUE(port.ReadAvailable(buffer, count, 2));
    EXPECT_EQ(count, 2u);
}

TEST_F(SerialPortTest, FlushDiscardsWhatArrivedButNotWhatComesLater)
{
    ASSERT_EQ(Open(), open_result::kOpened);
    pty.Send(std::vector<std::uint8_t>(600, 0xAB));
    AwaitQueued(600);
    port.Flush();
    std::uint8_t buffer[1024];
    std::uint32_t count = 0;
    ASSERT_EQ(port.ReadAvailable(buffer, count), 1);
    EXPECT_EQ(count, 0u);
    pty.Send({0x42});
    port.WaitForInput(1000);
    ASSERT_EQ(port.ReadAvailable(buffer, count), 1);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 0x42);
}

TEST_F(SerialPortTest, ReopenRestoresTheLastGoodSettings)
{
    ASSERT_EQ(Open(19200), open_result::kOpened);
    port.Reopen();
    EXPECT_TRUE(port.IsOpen());
    std::uint32_t seen = 0;
    ASSERT_TRUE(wqn::sim::ReadPtySpeed(pty.Slave(), seen));
    EXPECT_EQ(seen, 19200u);
}

TEST_F(SerialPortTest, ClosedPortNeitherReadsNorWrites)
{
    std::uint8_t buffer[4] = {};
    std::uint32_t count = 0;
    EXPECT_EQ(port.ReadAvailable(buffer, count), 0);
    EXPECT_EQ(port.WriteBytes(buffer, 4), 0);
}

} // namespace
} // namespace kelvara
