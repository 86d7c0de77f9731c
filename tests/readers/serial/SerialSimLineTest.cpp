// The serial reader simulator's line, seen from a raw host port: what a
// reader hears and what a host receives across closes, speed mismatches,
// paced bytes and abandoned data phases, and the fault texts it accepts.
#include "sim/serial/SerialReaderSim.h"

#include "PtyTestSupport.h"
#include "kelvara/readers/protocol/ReaderFrame.h"
#include "sim/serial/PtySpeed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kelvara {
namespace {

using Bytes = std::vector<std::uint8_t>;
using wqn::sim::SerialFault;

// A host port opened on the simulator's pty: raw, at a chosen speed.
class RawPort {
public:
    RawPort(const std::string &path, std::uint32_t speed)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
        wqn::sim::WritePtySpeed(fd_, speed);
    }
    ~RawPort() { Close(); }
    void SetSpeed(std::uint32_t speed) const { wqn::sim::WritePtySpeed(fd_, speed); }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void Send(const Bytes &bytes) const { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // The next `count` bytes, or fewer when `timeoutMs` passed first.
    Bytes Expect(std::size_t count, int timeoutMs = 1000) const
    {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return out;
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0)
                return out;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    // What arrives until the line has been quiet for `quietMs`.
    Bytes Receive(int quietMs) const
    {
        Bytes out;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0)
                return out;
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                return out;
            out.insert(out.end(), buf, buf + n);
        }
    }

private:
    int fd_ = -1;
};

Bytes FrameBytes(const CommandFrame &frame) { return Bytes(frame.begin(), frame.end()); }

const Bytes kStatReplyP = {0x53, 0x54, 0x41, 0x54, 0x50, 0x8C, 0x42};
const Bytes kWriteReplyP = {'W', 'R', 'T', 'E', 'P', 0x92, 0x44};

class SerialSimLineTest : public ::testing::Test {
protected:
    void Start(wqn::sim::SerialSimOptions options)
    {
        sim = std::make_unique<wqn::sim::SerialReaderSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(sim->Open(&error)) << error;
        sim->Start();
    }
    static SerialFault Fault(const char *text)
    {
        SerialFault f;
        EXPECT_TRUE(wqn::sim::ParseSerialFault(text, &f)) << text;
        return f;
    }
    std::unique_ptr<wqn::sim::SerialReaderSim> sim;
};

TEST_F(SerialSimLineTest, ReplyNobodyHearsWhileTheHostHasThePortClosed)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 115200;
    options.faults = {Fault("late:STAT:0:1:150")};
    Start(options);
    {
        RawPort host(sim->SlavePath(), 115200);
        host.Send(FrameBytes(StatFrame()));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    } // closed before the late reply comes
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    RawPort host(sim->SlavePath(), 115200);
    EXPECT_TRUE(host.Receive(100).empty());
    // In step again: the next query is answered.
    host.Send(FrameBytes(StatFrame()));
    EXPECT_EQ(host.Expect(7), kStatReplyP);
}

TEST_F(SerialSimLineTest, CloseDropsWhatTheHostReceivedButDidNotRead)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 115200;
    Start(options);
    {
        RawPort host(sim->SlavePath(), 115200);
        host.Send(FrameBytes(StatFrame()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // answered, not read
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RawPort host(sim->SlavePath(), 115200);
    EXPECT_TRUE(host.Receive(100).empty());
}

TEST_F(SerialSimLineTest, BytesAtAnotherSpeedAreLostBothWays)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 9600;
    options.faults = {Fault("late:STAT:0:1:100")};
    Start(options);
    RawPort host(sim->SlavePath(), 19200);
    host.Send(FrameBytes(StatFrame()));
    EXPECT_TRUE(host.Receive(150).empty());
    // The host asks at the reader's speed, then changes speed before the
    // (late) reply comes: it hears nothing either.
    host.SetSpeed(9600);
    host.Send(FrameBytes(StatFrame()));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    host.SetSpeed(19200);
    EXPECT_TRUE(host.Receive(250).empty());
    const auto log = sim->Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "LOST 12 AT 19200"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "UNHEARD 7"), log.end());
}

TEST_F(SerialSimLineTest, PacedReaderAnswersADataPhaseOnlyOnceItHasArrived)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 9600;
    options.pace = true;
    Start(options);
    RawPort host(sim->SlavePath(), 9600);
    host.Send(FrameBytes(WriteFrame(20, 0, 264)));
    ASSERT_EQ(host.Expect(7), kWriteReplyP);
    Bytes data(264, 0x5A);
    const CheckBytes check = ComputeCheckBytes(data);
    data.push_back(check.sum);
    data.push_back(check.xorValue);
    const auto sent = std::chrono::steady_clock::now();
    host.Send(data); // a pty takes them at once; the line does not
    EXPECT_EQ(host.Expect(7), kWriteReplyP);
    // 266 bytes of ten bits at 9600 bit/s, then the seven of the reply.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::microseconds((266 + 7) * 10 * 1000000LL / 9600));
}

TEST_F(SerialSimLineTest, DataPhaseThatStopsIsAbandonedAndTheNextFrameIsHeard)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 115200;
    Start(options);
    RawPort host(sim->SlavePath(), 115200);
    host.Send(FrameBytes(WriteFrame(20, 0, 264)));
    ASSERT_EQ(host.Expect(7), kWriteReplyP);
    host.Send(Bytes(100, 0x33)); // the rest never comes
    std::this_thread::sleep_for(std::chrono::milliseconds(wqn::sim::kInterByteLimitMs + 100));
    host.Send(FrameBytes(StatFrame()));
    EXPECT_EQ(host.Expect(7), kStatReplyP);
    const auto log = sim->Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string &line) { return line.rfind("ABANDONED DATA AFTER ", 0) == 0; }),
              1);
}

TEST_F(SerialSimLineTest, AReaderWithMorePatienceWaitsOutAPauseInTheDataPhase)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 115200;
    options.patienceMs = 2000;
    Start(options);
    RawPort host(sim->SlavePath(), 115200);
    host.Send(FrameBytes(WriteFrame(20, 0, 4)));
    ASSERT_EQ(host.Expect(7), kWriteReplyP);
    Bytes data{1, 2, 3, 4};
    const CheckBytes check = ComputeCheckBytes(data);
    data.push_back(check.sum);
    data.push_back(check.xorValue);
    // Longer than the reader's own patience, well inside this one.
    std::this_thread::sleep_for(std::chrono::milliseconds(wqn::sim::kInterByteLimitMs + 150));
    host.Send(Bytes(data.begin(), data.begin() + 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(wqn::sim::kInterByteLimitMs + 150));
    host.Send(Bytes(data.begin() + 3, data.end()));
    EXPECT_EQ(host.Expect(7), kWriteReplyP);
    const auto log = sim->Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string &l) { return l.rfind("RXDATA ", 0) == 0; }),
              1);
}

TEST_F(SerialSimLineTest, HungUpReaderIsDeafForItsTimeThenAnswersAfresh)
{
    wqn::sim::SerialSimOptions options;
    options.speed = 115200;
    options.faults = {Fault("hangup:STAT:0:1:1000@3")};
    Start(options);
    RawPort host(sim->SlavePath(), 115200);
    const auto start = std::chrono::steady_clock::now();
    host.Send(FrameBytes(StatFrame()));
    EXPECT_EQ(host.Expect(3), Bytes(kStatReplyP.begin(), kStatReplyP.begin() + 3));
    host.Send(FrameBytes(StatFrame())); // while it is hung up
    EXPECT_TRUE(host.Receive(200).empty());
    std::this_thread::sleep_until(start + std::chrono::milliseconds(1200));
    host.Send(FrameBytes(StatFrame()));
    EXPECT_EQ(host.Expect(7), kStatReplyP);
}

TEST(SerialSimPort, StartsAtTheReadersSpeedInTheCodeEveryProgramReads)
{
    // Programs that know only the classic speed codes (Wine's comm layer
    // among them) must be able to read the port's speed; a speed without a
    // classic code is still there for those that ask for it in numbers.
    for (const auto &[speed, code] : {std::pair<std::uint32_t, speed_t>{9600, B9600}, {115200, B115200}}) {
        wqn::sim::SerialSimOptions options;
        options.speed = speed;
        wqn::sim::SerialReaderSim sim(options);
        std::string error;
        ASSERT_TRUE(sim.Open(&error)) << error;
        termios t{};
        const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), code) << speed;
        ::close(fd);
    }
    wqn::sim::SerialSimOptions options;
    options.speed = 14400;
    wqn::sim::SerialReaderSim sim(options);
    std::string error;
    ASSERT_TRUE(sim.Open(&error)) << error;
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::uint32_t seen = 0;
    ASSERT_TRUE(wqn::sim::ReadPtySpeed(fd, seen));
    EXPECT_EQ(seen, 14400u);
    ::close(fd);
}

TEST(SerialFaultText, KindsCommandsCountsAndArguments)
{
    SerialFault f;
    ASSERT_TRUE(wqn::sim::ParseSerialFault("gap:READ:2:3:150@40", &f));
    EXPECT_EQ(f.kind, SerialFault::Kind::Gap);
    EXPECT_EQ(f.command, "READ");
    EXPECT_EQ(f.skip, 2);
    EXPECT_EQ(f.count, 3);
    EXPECT_EQ(f.ms, 150);
    EXPECT_EQ(f.at, 40);
    ASSERT_TRUE(wqn::sim::ParseSerialFault("late::0:-1:210", &f));
    EXPECT_EQ(f.kind, SerialFault::Kind::Late);
    EXPECT_EQ(f.ms, 210);
    EXPECT_EQ(f.count, -1);
    ASSERT_TRUE(wqn::sim::ParseSerialFault("indrop:DATA:0:1:5", &f));
    EXPECT_EQ(f.at, 5);
    ASSERT_TRUE(wqn::sim::ParseSerialFault("other", &f));
    EXPECT_EQ(f.at, -1);
    ASSERT_TRUE(wqn::sim::ParseSerialFault("repeat:WRTE:0:1:150", &f));
    EXPECT_EQ(f.kind, SerialFault::Kind::Repeat);
    EXPECT_EQ(f.copies, 150);
    for (const char *bad : {"late", "late:READ", "drop:READ:0:1:5@2", "silence:READ:0:1:3", "indrop:READ",
                            "gap:READ:0:1:x", "nosuch", "late:READING:0:1:5", "drop:READ:-1", "repeat:WRTE:0:1:0"})
        EXPECT_FALSE(wqn::sim::ParseSerialFault(bad, &f)) << bad;
}

} // namespace
} // namespace kelvara
