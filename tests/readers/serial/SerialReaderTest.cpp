// SerialReader against the simulated reader on a real pty: the connection
// search with its speed negotiation and stored settings, page transfers,
// LOCK/EXIT, and the reader's refusals and faults.
#include "kelvara/readers/serial/SerialReader.h"

#include "PtyTestSupport.h"
#include "kelvara/services/Settings.h"
#include "kelvara/services/Trace.h"
#include "sim/serial/PtySpeed.h"
#include "sim/serial/SerialReaderSim.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

namespace kelvara {
namespace {

using testing::ScopedEnv;
using testing::ScratchDirectory;

constexpr const char *kStat = "53 54 41 54 59 5A 5B 5C 5D 5E 61 15";
constexpr const char *kBdrt6 = "42 44 52 54 06 5A 5B 5C 5D 5E FE 58";

class SerialReaderTest : public ::testing::Test {
protected:
    // Starts a simulator answering on com1; com2 does not exist.
    void StartSim(wqn::sim::SerialSimOptions options = {})
    {
        sim = std::make_unique<wqn::sim::SerialReaderSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(sim->Open(&error)) << error;
        com1.reset();
        com1 = std::make_unique<ScopedEnv>("WQN_COM1", sim->SlavePath());
        sim->Start();
    }

    wqn::sim::SerialSimOptions At(std::uint32_t speed)
    {
        wqn::sim::SerialSimOptions o;
        o.speed = speed;
        return o;
    }

    std::vector<std::string> Frames() const { return sim->ReceivedFrames(); }
    std::size_t Count(const char *frame) const
    {
        const auto f = Frames();
        return std::size_t(std::count(f.begin(), f.end(), frame));
    }

    void TearDown() override
    {
        if (sim) {
            sim->Stop();
        }
    }

    ScratchDirectory dir{"kelvara-serial"};
    ScopedEnv settings{"KELVARA_SETTINGS", dir.File("settings.ini")};
    ScopedEnv com2{"WQN_COM2", dir.File("no-such-tty")};
    std::unique_ptr<wqn::sim::SerialReaderSim> sim;
    std::unique_ptr<ScopedEnv> com1;
};

TEST_F(SerialReaderTest, FirstConnectNegotiatesTheFastestSpeedAndRemembersIt)
{
    StartSim(At(4800));
    SerialReader reader;
    EXPECT_FALSE(reader.IsConnected());
    EXPECT_EQ(reader.Connect(), serial_connect::kReady);
    EXPECT_TRUE(reader.IsConnected());
    EXPECT_EQ(sim->Speed(), 115200u);
    EXPECT_EQ(reader.Port().BaudRate(), 115200u);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -7), 6);
    EXPECT_EQ(ReadSettingText(setting::kComPortName, ""), "com1");
    // The quick try at 115200 was lost on a reader at 4800; then BDRT 6 at
    // 4800 and STAT twice at the new speed (negotiation, then Connect).
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], kBdrt6);
    EXPECT_EQ(frames[1], kStat);
    EXPECT_EQ(frames[2], kStat);
}

// Before the other readers are tried, com1 and com2 are opened at 115200
// and closed again: a port left at another speed is set back to 115200.
TEST_F(SerialReaderTest, ResetPortsLeavesComOneAt115200)
{
    StartSim(At(57600));
    SerialReader reader;
    ASSERT_EQ(reader.Connect(), serial_connect::kReady);
    ASSERT_EQ(reader.Port().BaudRate(), 57600u);
    EXPECT_EQ(reader.ResetPorts(), 0);
    EXPECT_FALSE(reader.Port().IsOpen());
    const int fd = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    std::uint32_t baud = 0;
    EXPECT_TRUE(wqn::sim::ReadPtySpeed(fd, baud));
    ::close(fd);
    EXPECT_EQ(baud, 115200u);
}

TEST_F(SerialReaderTest, LaterConnectReusesTheStoredSpeedWithoutNegotiating)
{
    StartSim(At(4800));
    {
        SerialReader first;
        ASSERT_EQ(first.Connect(), serial_connect::kReady);
    }
    WriteSettingInt(setting::kBaudRateMax, 3); // must not matter: no negotiation
    sim->ClearLog();
    SerialReader second;
    EXPECT_EQ(second.Connect(), serial_connect::kReady);
    EXPECT_EQ(Frames(), (std::vector<std::string>{kStat, kStat}));
    EXPECT_EQ(second.Port().BaudRate(), 115200u);
}

TEST_F(SerialReaderTest, ReaderAlreadyAt57600IsFoundByTheScan)
{
    StartSim(At(57600));
    SerialReader reader;
    EXPECT_EQ(reader.Connect(), serial_connect::kReady);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -7), 5);
    EXPECT_EQ(reader.Port().BaudRate(), 57600u);
    EXPECT_EQ(sim->Speed(), 57600u);
    EXPECT_EQ(Count(kBdrt6), 0u); // sent at 4800, lost on the line
}

TEST_F(SerialReaderTest, MaximumZeroSettlesAt4800WithoutBdrt)
{
    WriteSettingInt(setting::kBaudRateMax, 0);
    WriteSettingInt(setting::kBaudRateIndex, 0);
    StartSim(At(4800));
    SerialReader reader;
    EXPECT_EQ(reader.Connect(), serial_connect::kReady);
    EXPECT_EQ(reader.Port().BaudRate(), 4800u);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -7), 0);
    EXPECT_EQ(Frames(), (std::vector<std::string>{kStat})); // only Connect's query
}

TEST_F(SerialReaderTest, StoredMaximumOutsideTheTableAimsForTheFastestSpeed)
{
    for (int stored : {9, -1}) {
        WriteSettingInt(setting::kBaudRateMax, stored);
        WriteSettingInt(setting::kBaudRateIndex, 0);
        StartSim(At(4800));
        SerialReader reader;
        EXPECT_EQ(reader.Connect(), serial_connect::kReady) << stored;
        EXPECT_EQ(Count(kBdrt6), 1u) << stored;
        EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -7), 6);
        sim->Stop();
    }
}

// When the reader took the new speed but does not answer there, the next
// try asks it for the speed below (here lost on a reader already at 115200:
// the scan then finds it). The BDRT frames sent are read from the trace.
TEST_F(SerialReaderTest, QueryFailingAtTheAgreedSpeedStepsDownOneSpeed)
{
    auto options = At(4800);
    options.faults.push_back({wqn::sim::SerialFault::Kind::Silence, "STAT", 0, 1});
    StartSim(options);
    const std::string tracePath = dir.File("trace.txt");
    trace::Begin(tracePath, false);
    SerialReader reader;
    const int connected = reader.ConnectAtPort("com1");
    trace::Begin("", false);
    EXPECT_EQ(connected, 1);
    std::vector<std::string> speeds;
    std::ifstream in(tracePath);
    for (std::string line; std::getline(in, line);) {
        const std::string bdrt = " serial > BDRT speed=";
        if (const auto at = line.find(bdrt); at != std::string::npos) {
            speeds.push_back(line.substr(at + bdrt.size(), line.find(' ', at + bdrt.size()) - at - bdrt.size()));
        }
    }
    EXPECT_EQ(speeds, (std::vector<std::string>{"6", "5"}));
}

TEST_F(SerialReaderTest, ReaderWithoutCardIsStillAReader)
{
    for (char status : {'Q', 'S'}) {
        auto options = At(4800);
        options.noCard = status;
        StartSim(options);
        WriteSettingText(setting::kComPortName, "com2");
        SerialReader reader;
        EXPECT_EQ(reader.Connect(), serial_connect::kNoCard) << status;
        EXPECT_TRUE(reader.IsConnected());
        EXPECT_EQ(ReadSettingText(setting::kComPortName, ""), "com1");
        std::uint8_t buffer[8] = {0xEE};
        EXPECT_FALSE(reader.ReadBlock(1, 0, 8, buffer));
        EXPECT_EQ(buffer[0], 0);
        EXPECT_FALSE(reader.CardLock());
        sim->Stop();
    }
}

TEST_F(SerialReaderTest, NoPortMeansNoReaderAtOnce)
{
    ScopedEnv noCom1("WQN_COM1", dir.File("no-such-tty-either"));
    SerialReader reader;
    EXPECT_EQ(reader.Connect(), serial_connect::kNoReader);
    EXPECT_FALSE(reader.IsConnected());
    EXPECT_EQ(ReadSettingText(setting::kComPortName, "unset"), "unset");
    EXPECT_EQ(reader.ConnectAtPort("com1"), 0);
}

TEST_F(SerialReaderTest, ScanThatFindsNoSpeedFailsAndLeavesThePortClosed)
{
    // A reader at a speed outside the table hears nothing the host sends:
    // the stored speed, BDRT at 4800 and every speed of the scan are lost.
    WriteSettingInt(setting::kBaudRateIndex, 3);
    StartSim(At(2400));
    SerialReader reader;
    EXPECT_EQ(reader.ConnectAtPort("com1"), 0);
    EXPECT_FALSE(reader.Port().IsOpen());
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -7), 3); // nothing negotiated, nothing stored
    EXPECT_TRUE(Frames().empty());
    EXPECT_EQ(reader.QueryStatus(), reply::kFailed); // no port to send on
}

TEST_F(SerialReaderTest, SilentReaderIsNotAReader)
{
    auto options = At(4800);
    options.faults.push_back({wqn::sim::SerialFault::Kind::Silence, "", 0, -1});
    StartSim(options);
    SerialReader reader;
    EXPECT_EQ(reader.Connect(), serial_connect::kNoReader);
    EXPECT_FALSE(reader.IsConnected());
    EXPECT_FALSE(reader.Port().IsOpen());
}

TEST_F(SerialReaderTest, StoredPortIsTriedFirstAndTheOneThatAnsweredIsStored)
{
    StartSim(At(4800));
    // Swap the ports: the reader hangs on com2, com1 is absent.
    ScopedEnv reader2("WQN_COM2", sim->SlavePath());
    ScopedEnv absent1("WQN_COM1", dir.File("absent"));
    WriteSettingText(setting::kComPortName, "com2");
    SerialReader reader;
    EXPECT_EQ(reader.Connect(), serial_connect::kReady);
    EXPECT_EQ(ReadSettingText(setting::kComPortName, ""), "com2");
    EXPECT_EQ(reader.Port().PortName(), "com2");
}

class ConnectedReaderTest : public SerialReaderTest {
protected:
    void Connect(wqn::sim::SerialSimOptions options = {})
    {
        WriteSettingInt(setting::kBaudRateIndex, 6);
        options.speed = 115200;
        StartSim(std::move(options));
        ASSERT_EQ(reader.Connect(), serial_connect::kReady);
        sim->ClearLog();
    }
    SerialReader reader;
};

TEST_F(ConnectedReaderTest, PagesWrittenAreReadBackAndLandOnTheCard)
{
    Connect();
    std::vector<std::uint8_t> page(264);
    for (std::size_t i = 0; i < page.size(); ++i) {
        page[i] = std::uint8_t(i * 13 + 1);
    }
    ASSERT_TRUE(reader.WriteBlock(2047, 0, 264, page.data()));
    std::vector<std::uint8_t> back(264, 0);
    ASSERT_TRUE(reader.ReadBlock(2047, 0, 264, back.data()));
    EXPECT_EQ(back, page);
    std::uint8_t part[16] = {};
    ASSERT_TRUE(reader.ReadBlock(2047, 0, 16, part));
    EXPECT_TRUE(std::equal(part, part + 16, page.begin()));
    ASSERT_TRUE(reader.ReadBlock(2047, 263, 1, part));
    EXPECT_EQ(part[0], page[263]);

    const auto frames = Frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[2], "52 45 41 44 FF 07 00 00 10 00 32 FA"); // READ 2047/0/16
    // The data phase carries the bytes and their sum and exclusive-or.
    const auto log = sim->Log();
    const auto data =
        std::find_if(log.begin(), log.end(), [](const std::string &l) { return l.rfind("RXDATA ", 0) == 0; });
    ASSERT_NE(data, log.end());
    const CheckBytes check = ComputeCheckBytes(page);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X %02X", check.sum, check.xorValue);
    EXPECT_EQ(data->size(), std::string("RXDATA ").size() + 266 * 3 - 1);
    EXPECT_EQ(data->substr(data->size() - 5), tail);

    sim->Stop();
    std::vector<std::uint8_t> onCard(264);
    ASSERT_TRUE(sim->Card().ReadBlock(2047, 0, 264, onCard.data()));
    EXPECT_EQ(onCard, page);
}

TEST_F(ConnectedReaderTest, OutOfRangeRequestsFailWithoutTraffic)
{
    Connect();
    EXPECT_FALSE(reader.ReadBlock(3, 0, 16, nullptr));
    EXPECT_FALSE(reader.WriteBlock(3, 0, 16, nullptr));
    std::uint8_t buffer[1100] = {0x77};
    EXPECT_TRUE(reader.ReadBlock(0, 0, 0, buffer));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_FALSE(reader.ReadBlock(2048, 0, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 264, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 0, -1, buffer));
    EXPECT_FALSE(reader.ReadBlock(-1, 0, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 0, kMaxReadLength + 1, buffer));
    EXPECT_TRUE(reader.WriteBlock(0, 0, 0, buffer));
    EXPECT_FALSE(reader.WriteBlock(2048, 0, 1, buffer));
    EXPECT_FALSE(reader.WriteBlock(0, 264, 1, buffer));
    EXPECT_FALSE(reader.WriteBlock(0, 0, 1025, buffer));
    EXPECT_TRUE(Frames().empty());
    // The longest read whose reply fits the reply buffer goes to the reader
    // (the simulated one refuses a read past the end of the page).
    EXPECT_FALSE(reader.ReadBlock(0, 0, kMaxReadLength, buffer));
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].substr(0, 29), "52 45 41 44 00 00 00 00 F9 03"); // READ 0/0/1017
}

TEST_F(ConnectedReaderTest, LockAndExitSendTheirFrames)
{
    Connect();
    EXPECT_TRUE(reader.CardLock());
    EXPECT_TRUE(reader.CardExit());
    EXPECT_EQ(Frames(),
              (std::vector<std::string>{"4C 4F 43 4B 00 00 00 5C 5D 5E 40 54", "45 58 49 54 00 00 00 5C 5D 5E 51 5F"}));
}

TEST_F(ConnectedReaderTest, FailingPageIsRefusedWhileOthersWork)
{
    wqn::sim::SerialSimOptions options;
    options.failingPages = {7};
    Connect(options);
    std::uint8_t buffer[264] = {};
    EXPECT_FALSE(reader.ReadBlock(7, 0, 264, buffer));
    EXPECT_FALSE(reader.WriteBlock(7, 0, 264, buffer));
    EXPECT_TRUE(reader.ReadBlock(8, 0, 264, buffer));
    EXPECT_TRUE(reader.WriteBlock(8, 0, 264, buffer));
}

TEST_F(ConnectedReaderTest, SpoiledRepliesFailOneCommandAndTheNextOneWorks)
{
    using Kind = wqn::sim::SerialFault::Kind;
    for (Kind kind : {Kind::BadCheck, Kind::Garble, Kind::Short, Kind::Silence}) {
        wqn::sim::SerialSimOptions options;
        options.faults.push_back({kind, "READ", 0, 1});
        Connect(options);
        std::uint8_t buffer[32] = {};
        EXPECT_FALSE(reader.ReadBlock(3, 0, 32, buffer)) << int(kind);
        EXPECT_TRUE(reader.ReadBlock(3, 0, 32, buffer)) << int(kind);
        sim->Stop();
    }
}

TEST_F(ConnectedReaderTest, RefusedDataPhaseFailsTheWrite)
{
    wqn::sim::SerialSimOptions options;
    options.faults.push_back({wqn::sim::SerialFault::Kind::Refuse, "DATA", 0, 1});
    Connect(options);
    std::uint8_t page[264] = {1, 2, 3};
    EXPECT_FALSE(reader.WriteBlock(9, 0, 264, page));
    EXPECT_TRUE(reader.WriteBlock(9, 0, 264, page));
}

wqn::sim::SerialFault Fault(const char *text)
{
    wqn::sim::SerialFault fault;
    EXPECT_TRUE(wqn::sim::ParseSerialFault(text, &fault)) << text;
    return fault;
}

TEST_F(ConnectedReaderTest, BytesAfterTheFramesConfirmationAreNotTakenForTheDataPhasesReply)
{
    // The confirmation of the WRTE frame comes 151 times in a row: more than
    // the host's reply buffer takes in one read. What is left of them when
    // the data go out is flushed, not taken for the data phase's reply.
    wqn::sim::SerialSimOptions options;
    options.faults = {Fault("repeat:WRTE:0:1:150")};
    Connect(options);
    std::vector<std::uint8_t> data(16, 0x5A);
    EXPECT_TRUE(reader.WriteBlock(9, 0, 16, data.data()));
    sim->Stop();
    std::vector<std::uint8_t> onCard(16);
    ASSERT_TRUE(sim->Card().ReadBlock(9, 0, 16, onCard.data()));
    EXPECT_EQ(onCard, data);
}

TEST_F(ConnectedReaderTest, LateReplyToAnEarlierWriteNeverConfirmsALaterOne)
{
    wqn::sim::SerialSimOptions options;
    options.pace = true;
    // The first write's data are answered 300 ms late, after the host gave
    // up; the reader answers the next write's frame 60 ms late, and that
    // write's data reach it with a damaged byte, so it refuses them. A host
    // that took the late reply for the frame's would take the frame's reply
    // for the data's and report the lost write as done.
    options.faults = {Fault("late:DATA:0:1:300"), Fault("late:WRTE:1:1:60"), Fault("inflip:DATA:1:1")};
    Connect(options);
    std::vector<std::uint8_t> first(264, 0x11), second(264, 0x22);
    EXPECT_FALSE(reader.WriteBlock(9, 0, 264, first.data()));
    EXPECT_FALSE(reader.WriteBlock(10, 0, 264, second.data()));
    EXPECT_TRUE(reader.WriteBlock(11, 0, 264, second.data())); // and the line is in step again
    sim->Stop();
    std::vector<std::uint8_t> onCard(264);
    ASSERT_TRUE(sim->Card().ReadBlock(10, 0, 264, onCard.data()));
    EXPECT_NE(onCard, second) << "the refused write landed after all";
    ASSERT_TRUE(sim->Card().ReadBlock(11, 0, 264, onCard.data()));
    EXPECT_EQ(onCard, second);
}

TEST_F(ConnectedReaderTest, LongLateReplyOnASlowLineIsLetPassWhole)
{
    // At 4800 bit/s a page's reply takes 565 ms on the line. Answered 250 ms
    // late, it is still arriving long after the host gave up on it; none of
    // it may be taken for the next command's reply.
    WriteSettingInt(setting::kBaudRateMax, 0);
    WriteSettingInt(setting::kBaudRateIndex, 0);
    wqn::sim::SerialSimOptions options = At(4800);
    options.pace = true;
    options.faults = {Fault("late:READ:0:1:250")};
    StartSim(options);
    SerialReader slow;
    ASSERT_EQ(slow.Connect(), serial_connect::kReady);
    std::vector<std::uint8_t> page(264);
    EXPECT_FALSE(slow.ReadBlock(12, 0, 264, page.data()));
    EXPECT_EQ(slow.QueryStatus(), reply::kDone);
}

TEST_F(ConnectedReaderTest, ResetPortsLeavesNoPortOpen)
{
    Connect();
    EXPECT_EQ(reader.ResetPorts(), 0);
    EXPECT_FALSE(reader.Port().IsOpen());
}

} // namespace
} // namespace kelvara
