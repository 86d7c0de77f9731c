// The public C interface end to end: the library in a process of its own
// (sampora-host) against the sampora-sim program on a real pty; libsampora
// natively, Sampora.dll under Wine (scripts/wine-tests.sh).
#include "tests/remote/RemoteSampora.h"
#include "tests/support/ScratchDirectory.h"

#include "SimProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace sampora_remote;
using sampora_test::FrameHex;
using sampora_test::SimProcess;
using wqn::host::MapPort;

std::string HexOf(const unsigned char *bytes, std::size_t n)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

class SamporaExports : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_.Started()) << "sampora-sim did not start";
        ASSERT_FALSE(dir_.empty());
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        oldDir_ = cwd;
        ASSERT_EQ(::chdir(dir_.c_str()), 0);
        wqn::host::ResetHostEnvironment();
        for (int n = 2; n <= 6; ++n)
            MapPort(n, dir_ + "/no-com" + std::to_string(n));
        MapPort(1, sim_.SlavePath());
        // The library's process starts in the test's directory, where it
        // reads sampora.ini.
        process_ = std::make_unique<SamporaProcess>();
    }

    void TearDown() override
    {
        if (process_ != nullptr) {
            Close();
            process_->Finish();
            process_.reset();
        }
        wqn::host::ResetHostEnvironment();
        if (!oldDir_.empty()) {
            EXPECT_EQ(::chdir(oldDir_.c_str()), 0);
        }
    }

    void WriteIni(const std::string &text) { std::ofstream(dir_ + "/sampora.ini") << text; }

    void Open()
    {
        ASSERT_EQ(Init(), 0);
        sim_.Received(); // start from a clean record
    }

    void Sim(const std::string &line) { ASSERT_EQ(sim_.Command(line).substr(0, 2), "ok") << line; }

    SimProcess sim_;
    kelvara::testing::ScratchDirectory scratch_{"sampora-test"};
    const std::string dir_ = scratch_.path().string();
    std::string oldDir_;
    std::unique_ptr<SamporaProcess> process_;
};

// --- Port settings ---------------------------------------------------------

TEST_F(SamporaExports, WithoutIniOpensComOneAtNineSixHundredEightNoneOne)
{
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(sim_.Command("termios"), "ok baud=9600 data=8 parenb=0 parodd=0 stop=1 raw=1");
}

// A pty keeps the speed, the odd-parity flag and the stop bits it is given
// (it forces 8 data bits and clears the parity enable itself); the mapping
// of data bits and parity enable is covered by the termios unit tests.
TEST_F(SamporaExports, IniKeysSetSpeedParityAndStopBits)
{
    struct Case {
        const char *ini;
        const char *line;
    } cases[] = {
        {"[reader]\nparitybit=79\nstopbit=2\n", "ok baud=9600 data=8 parenb=0 parodd=1 stop=2 raw=1"},
        {"[reader]\nparitybit=111\n", "ok baud=9600 data=8 parenb=0 parodd=1 stop=1 raw=1"},
        {"[reader]\nparitybit=69\nstopbit=3\n", "ok baud=9600 data=8 parenb=0 parodd=0 stop=1 raw=1"},
        {"[reader]\nparitybit=101\nstopbit=258\n", "ok baud=9600 data=8 parenb=0 parodd=0 stop=2 raw=1"},
        {"[reader]\nbaud=19200\ndatabit=7\n", "ok baud=19200 data=8 parenb=0 parodd=0 stop=1 raw=1"},
        {"[reader]\nport=257\nbaud=115200\n", "ok baud=115200 data=8 parenb=0 parodd=0 stop=1 raw=1"},
        // An unsupported speed leaves the line as the previous session set it
        // (on Linux; what a Windows port driver makes of it is its own affair).
        {"[reader]\nbaud=12345\nparitybit=79\n", "ok baud=115200 data=8 parenb=0 parodd=0 stop=1 raw=1"},
    };
    for (const Case &c : cases) {
        if (std::string(c.ini).find("12345") != std::string::npos && wqn::host::runner::UnderWine())
            continue;
        WriteIni(c.ini);
        ASSERT_EQ(Init(), 0) << c.ini;
        EXPECT_EQ(sim_.Command("termios"), c.line) << c.ini;
        EXPECT_EQ(Close(), 0);
    }
}

// Each failing Init comes while a session holds com1: the old port is
// closed first, so no port is left open afterwards.
TEST_F(SamporaExports, PortOutOfRangeOrUnopenableFailsInit)
{
    MapPort(2, "/nonexistent/tty");
    for (const char *ini : {"[reader]\nport=7\n", "[reader]\nport=0\n", "[reader]\nport=2\n"}) {
        WriteIni("[reader]\nport=1\n");
        ASSERT_EQ(Init(), 0) << ini;
        WriteIni(ini);
        EXPECT_EQ(Init(), -1) << ini;
        EXPECT_EQ(OpenReader(), -1) << ini << ": no port is open";
    }
    EXPECT_EQ(sim_.Received(), "");
}

TEST_F(SamporaExports, PortNumberPicksItsOwnEnvironmentVariable)
{
    WriteIni("[reader]\nport=3\n");
    MapPort(3, sim_.SlavePath());
    MapPort(1, "/nonexistent/tty");
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(CloseReader(), 1);
}

TEST_F(SamporaExports, WithoutOpenPortExportsFailAtOnceAndSendNothing)
{
    EXPECT_EQ(Close(), 0) << "Close without Init";
    unsigned int id = 0;
    EXPECT_EQ(OpenCard(&id), -1);
    EXPECT_EQ(SelectSAMCatalog(), -1);
    EXPECT_EQ(ReSend(), -1);
    Open();
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(CloseCard(), -1) << "after Close";
    EXPECT_EQ(sim_.Received(), "");
}

TEST_F(SamporaExports, ClosingStopsTheWorkerPromptly)
{
    ASSERT_EQ(Init(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Close(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(500)) << "Close must not wait out the worker's idle second";
    // The port is free again: a second session opens it.
    EXPECT_EQ(Init(), 0);
}

// A host that frees the library without Close: the call returns promptly
// (at unload nothing waits for the worker without bound), and the library
// loaded again works.
TEST_F(SamporaExports, FreeingTheLibraryWithoutCloseReturnsPromptly)
{
    ASSERT_EQ(Init(), 0);
    const auto unload = process_->Host().Call({"unload"}, 30000);
    ASSERT_EQ(unload.size(), 2u);
    EXPECT_EQ(unload[0], "1") << "the library was not freed";
    EXPECT_LT(std::stol(unload[1]), 3000) << "milliseconds the unload took";
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(CloseReader(), 1);
}

TEST_F(SamporaExports, EndingTheProcessWithoutCloseIsPrompt)
{
    ASSERT_EQ(Init(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(process_->Finish(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    process_.reset();
}

// --- Payloads ----------------------------------------------------------------

TEST_F(SamporaExports, EachExportSendsItsExactPayload)
{
    Open();
    const unsigned char block[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const short key[6] = {0x1234, 0x5678, -1, 0x0100, 0x00AB, 0x7F01};
    short secret[16];
    for (int i = 0; i < 16; ++i)
        secret[i] = static_cast<short>(0x4100 + i);
    unsigned char out[64];
    unsigned int id = 0;
    short a = 0, b = 0;
    const unsigned char fill[2] = {0x07, 0x08};
    const unsigned char mac[3] = {'a', 'b', 'c'};

    struct Case {
        const char *name;
        std::function<void()> call;
        std::string payload;
    } cases[] = {
        {"OpenCard", [&] { OpenCard(&id); }, "31"},
        {"CloseCard", [] { CloseCard(); }, "38"},
        {"OpenReader", [] { OpenReader(); }, "35 05 05 05 05 05 05 05"},
        {"CloseReader", [] { CloseReader(); }, "36"},
        {"ReadBlock", [&] { ReadBlock(1, 8, out); }, "32 01 08"},
        {"WriteBlock", [&] { WriteBlock(0, 8, block); }, "33 00 08 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"},
        {"ReadCardFile", [&] { ReadCardFile(258, 2, 1, 3, out); }, "3B 01 02 02 01 03"},
        {"ReadCardFile negative file", [&] { ReadCardFile(-2, 255, 0, 4, out); }, "3B FF FE FF 00 04"},
        {"WriteCardFile", [&] { WriteCardFile(0x0102, 4, 2, 16, block); },
         "39 01 02 04 02 00 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"},
        {"WriteCardFile empty", [&] { WriteCardFile(0x7FFF, 1, 0, 0, nullptr); }, "39 7F FF 01 00 00 00"},
        {"DownSecret", [&] { DownSecret(1, 15, key); }, "34 01 0F 34 78 FF 00 AB 01"},
        {"SelectSAMCatalog", [] { SelectSAMCatalog(); }, "37"},
        {"WriteSecret", [&] { WriteSecret(0, 3, secret); }, "3A 00 03 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"},
        {"WriteMAC", [&] { WriteMAC(3, 0x1234, -2, mac); }, "3C 03 12 34 FF FE 61 62 63"},
        {"SetMAD", [] { SetMAD(7, 1, 14); }, "3D 07 01 0E"},
        {"RestoreCard", [&] { RestoreCard(3, 2, &a, &b, fill); }, "3E 03 02 07 08"},
        {"AllowDeep", [] { AllowDeep(); }, "08"},
        {"DisAllowDeep", [] { DisAllowDeep(); }, "09"},
        {"OpCorrectDeep", [] { OpCorrectDeep(); }, "0A"},
        {"OpIncorrectDeep", [] { OpIncorrectDeep(); }, "0B"},
    };
    for (const Case &c : cases) {
        c.call();
        EXPECT_EQ(sim_.Received(), FrameHex(c.payload)) << c.name;
    }
    EXPECT_EQ(sim_.Received(), "");
}

// The library's own trace in its own process (under Wine: Sampora.dll's
// writer): every frame the reader received, the key left out.
TEST_F(SamporaExports, TheLibrarysTraceShowsWhatTheReaderReceivedWithoutTheKey)
{
    EXPECT_EQ(process_->Finish(), 0);
    const std::string trace = dir_ + "/wire.trace";
    wqn::host::SetHostEnvironment("SAMPORA_TRACE", wqn::host::runner::HostPath(trace));
    process_ = std::make_unique<SamporaProcess>();
    Open();
    const short key[6] = {0x1234, 0x5678, -1, 0x0100, 0x00AB, 0x7F01};
    DownSecret(1, 15, key);
    unsigned char out[64];
    ReadBlock(1, 8, out);
    const std::string received = sim_.Received();
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(process_->Finish(), 0);
    process_.reset();

    std::ifstream in(trace);
    std::string sent;
    std::vector<std::string> summaries;
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(" sampora > ");
        if (at == std::string::npos)
            continue;
        const std::size_t bar = line.find(" | ");
        summaries.push_back(line.substr(at + 11, bar - at - 11));
        sent += (sent.empty() ? "" : " ") + line.substr(bar + 3);
    }
    ::unlink(trace.c_str());
    EXPECT_EQ(
        summaries,
        (std::vector<std::string>{"DownSecret selector=1 sector=15 key=<6 hidden>", "ReadBlock selector=1 block=8"}));
    EXPECT_NE(received.find("34 78 FF 00 AB 01"), std::string::npos) << "the key reached the reader";
    EXPECT_EQ(sent.find("34 78 FF 00 AB 01"), std::string::npos) << sent;
    // Apart from the hidden key and its check byte, the frames as received.
    EXPECT_EQ(sent.substr(0, 15), received.substr(0, 15));
    EXPECT_EQ(sent.substr(sent.rfind(FrameHex("32 01 08"))), FrameHex("32 01 08"));
}

TEST_F(SamporaExports, ReadCardFileFrameIsByteExact)
{
    Open();
    unsigned char out[48];
    ReadCardFile(258, 2, 1, 3, out);
    EXPECT_EQ(sim_.Received(), "60 06 3B 01 02 02 01 03 5E 03");
}

// --- Argument checks ----------------------------------------------------------

TEST_F(SamporaExports, ArgumentChecksFailInTableOrderWithoutTraffic)
{
    Open();
    unsigned char buf[64] = {};
    short key[16] = {};
    short a = 0, b = 0;
    struct Case {
        const char *name;
        std::function<short()> call;
        short expected;
    } cases[] = {
        {"ReadBlock selector 2", [&] { return ReadBlock(2, 0, buf); }, -2},
        {"ReadBlock selector -1", [&] { return ReadBlock(-1, 0, buf); }, -2},
        {"ReadBlock selector before block", [&] { return ReadBlock(2, 64, buf); }, -2},
        {"ReadBlock block 64", [&] { return ReadBlock(0, 64, buf); }, -3},
        {"ReadBlock block -1", [&] { return ReadBlock(0, -1, buf); }, -3},
        {"WriteBlock selector 2", [&] { return WriteBlock(2, 8, buf); }, -2},
        {"WriteBlock block 64", [&] { return WriteBlock(0, 64, buf); }, -3},
        {"WriteBlock block 7", [&] { return WriteBlock(0, 7, buf); }, -3},
        {"WriteBlock block 63", [&] { return WriteBlock(1, 63, buf); }, -3},
        {"WriteBlock block -1", [&] { return WriteBlock(1, -1, buf); }, -3},
        {"ReadCardFile first 4", [&] { return ReadCardFile(1, 1, 4, 1, buf); }, -3},
        {"ReadCardFile first -1", [&] { return ReadCardFile(1, 1, -1, 1, buf); }, -3},
        {"ReadCardFile first before count", [&] { return ReadCardFile(1, 1, 4, 0, buf); }, -3},
        {"ReadCardFile count 0", [&] { return ReadCardFile(1, 1, 0, 0, buf); }, -4},
        {"ReadCardFile count 4 from 1", [&] { return ReadCardFile(258, 2, 1, 4, buf); }, -4},
        {"ReadCardFile count 5 from 0", [&] { return ReadCardFile(1, 1, 0, 5, buf); }, -4},
        {"WriteCardFile first 3", [&] { return WriteCardFile(1, 1, 3, 0, buf); }, -3},
        {"WriteCardFile 17 from 2", [&] { return WriteCardFile(1, 1, 2, 17, buf); }, -4},
        {"WriteCardFile 49 from 0", [&] { return WriteCardFile(1, 1, 0, 49, buf); }, -4},
        {"WriteCardFile length -1", [&] { return WriteCardFile(1, 1, 0, -1, buf); }, -4},
        {"DownSecret selector 2", [&] { return DownSecret(2, 16, key); }, -2},
        {"DownSecret sector 16", [&] { return DownSecret(0, 16, key); }, -4},
        {"DownSecret sector -1", [&] { return DownSecret(0, -1, key); }, -4},
        {"WriteSecret selector 2", [&] { return WriteSecret(2, 16, key); }, -2},
        {"WriteSecret sector 16", [&] { return WriteSecret(1, 16, key); }, -3},
        {"WriteMAC length 0", [&] { return WriteMAC(0, 0, 0, buf); }, -2},
        {"WriteMAC length 8", [&] { return WriteMAC(8, 0, 0, buf); }, -2},
        {"SetMAD first 0", [] { return SetMAD(0, 0, 0); }, -2},
        {"SetMAD first 8", [] { return SetMAD(8, 1, 1); }, -2},
        {"SetMAD second 0", [] { return SetMAD(1, 0, 15); }, -3},
        {"SetMAD second 8", [] { return SetMAD(1, 8, 1); }, -3},
        {"SetMAD third 15", [] { return SetMAD(1, 1, 15); }, -4},
        {"SetMAD third 0", [] { return SetMAD(7, 7, 0); }, -4},
        {"RestoreCard first 0", [&] { return RestoreCard(0, 1, &a, &b, buf); }, -2},
        {"RestoreCard first 15", [&] { return RestoreCard(15, 0, &a, &b, buf); }, -2},
        {"RestoreCard 14 count 2", [&] { return RestoreCard(14, 2, &a, &b, buf); }, -3},
        {"RestoreCard count 0", [&] { return RestoreCard(1, 0, &a, &b, buf); }, -3},
        {"OpenCard null", [] { return OpenCard(nullptr); }, -5},
        {"ReadBlock null", [] { return ReadBlock(0, 1, nullptr); }, -5},
        {"WriteBlock null", [] { return WriteBlock(0, 1, nullptr); }, -5},
        {"ReadCardFile null", [] { return ReadCardFile(1, 1, 0, 1, nullptr); }, -5},
        {"WriteCardFile null", [] { return WriteCardFile(1, 1, 0, 1, nullptr); }, -5},
        {"DownSecret null", [] { return DownSecret(0, 0, nullptr); }, -5},
        {"WriteSecret null", [] { return WriteSecret(0, 0, nullptr); }, -5},
        {"WriteMAC null", [] { return WriteMAC(1, 0, 0, nullptr); }, -5},
        {"RestoreCard null out", [&] { return RestoreCard(1, 1, nullptr, &b, buf); }, -5},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.name;
    EXPECT_EQ(sim_.Received(), "") << "an argument error must send nothing";
}

TEST_F(SamporaExports, BoundaryArgumentsAreSent)
{
    Open();
    unsigned char buf[64] = {};
    short a = 0, b = 0;
    WriteBlock(0, 8, buf);
    EXPECT_NE(sim_.Received(), "") << "WriteBlock block 8";
    RestoreCard(14, 1, &a, &b, buf);
    EXPECT_EQ(sim_.Received(), FrameHex("3E 0E 01 00"));
    WriteCardFile(1, 1, 0, 48, buf);
    EXPECT_NE(sim_.Received(), "") << "WriteCardFile 48 bytes from block 0";
    ReadCardFile(1, 1, 0, 4, buf);
    EXPECT_NE(sim_.Received(), "") << "ReadCardFile 4 blocks from block 0";
    SetMAD(7, 7, 14);
    EXPECT_NE(sim_.Received(), "") << "SetMAD 7 7 14";
}

// --- Replies -----------------------------------------------------------------

TEST_F(SamporaExports, StatusOneFillsOutputsInWireOrder)
{
    Open();
    unsigned int id = 0;
    Sim("reply 01 11 22 33 44 55");
    EXPECT_EQ(OpenCard(&id), 1);
    EXPECT_EQ(id, 0x44332211u);
    short a = -7, b = -7;
    const unsigned char fill[1] = {0};
    Sim("reply 01 80 00 00 FF");
    EXPECT_EQ(RestoreCard(2, 1, &a, &b, fill), 1);
    EXPECT_EQ(a, 255) << "reply byte 3, widened without sign";
    EXPECT_EQ(b, 128) << "reply byte 0";
}

TEST_F(SamporaExports, OtherStatusesPassThroughAndLeaveOutputsAlone)
{
    Open();
    unsigned int id = 0xCAFEF00D;
    Sim("reply 00 11 22 33 44");
    EXPECT_EQ(OpenCard(&id), 0);
    EXPECT_EQ(id, 0xCAFEF00Du);
    unsigned char buf[16];
    std::fill(std::begin(buf), std::end(buf), 0xA5);
    Sim("reply FF 01 02 03");
    EXPECT_EQ(ReadBlock(0, 1, buf), 255);
    EXPECT_EQ(buf[0], 0xA5);
    short a = 3, b = 4;
    const unsigned char fill[1] = {0};
    Sim("reply 60 01 02 03 04");
    EXPECT_EQ(RestoreCard(2, 1, &a, &b, fill), 0x60);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, 4);
}

TEST_F(SamporaExports, SmallestSuccessReplyAndOneSplitAfterItsStartMark)
{
    Open();
    Sim("silent");
    std::thread reader([&] { EXPECT_EQ(CloseCard(), 1); });
    // The literal reply frame, sent once the command is out.
    for (int i = 0; i < 150 && sim_.Received().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Sim("send 60 01 01 60 03");
    reader.join();
    Sim("split 1 50");
    EXPECT_EQ(CloseCard(), 1);
}

TEST_F(SamporaExports, SixtyFourDataBytesAreRecognisedSixtyFiveNever)
{
    Open();
    std::string data;
    char byte[4];
    for (int i = 0; i < 64; ++i) {
        std::snprintf(byte, sizeof byte, " %02X", i);
        data += byte;
    }
    Sim("reply 01" + data);
    unsigned char out[65] = {};
    out[64] = 0x5A;
    EXPECT_EQ(ReadCardFile(1, 1, 0, 4, out), 1);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(out[i], i) << "byte " << i;
    EXPECT_EQ(out[64], 0x5A) << "only count x 16 bytes are written";
    Sim("reply 01" + data + " 77");
    EXPECT_EQ(ReadCardFile(1, 1, 0, 4, out), -1);
}

TEST_F(SamporaExports, BadCheckByteTimesOutAndHoldsParsingUntilSeventyBytesFollow)
{
    Open();
    Sim("badcheck");
    EXPECT_EQ(CloseCard(), -1);
    Sim("burst 80");
    EXPECT_EQ(CloseCard(), 1);
}

TEST_F(SamporaExports, LateReplyIsTakenByTheNextCommand)
{
    Open();
    Sim("reply 01 AA BB CC DD");
    Sim("late 1200");
    unsigned int id = 0;
    EXPECT_EQ(OpenCard(&id), -1);
    // The reply arrives 200 ms after the time-out; the worker's next idle
    // poll is a second after it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(OpenCard(&id), 1);
    EXPECT_EQ(id, 0xDDCCBBAAu) << "the late reply, not the answer to this command";
}

// A reply 1.4 s late misses the one-second commands' time-out (see
// LateReplyIsTakenByTheNextCommand) but reaches the two-second ones.
TEST_F(SamporaExports, SelectSAMCatalogWaitsTwoSeconds)
{
    Open();
    Sim("late 1400");
    EXPECT_EQ(SelectSAMCatalog(), 1);
}

TEST_F(SamporaExports, OpCorrectDeepWaitsTwoSeconds)
{
    Open();
    ASSERT_EQ(AllowDeep(), 1);
    Sim("late 1400");
    EXPECT_EQ(OpCorrectDeep(), 1);
}

TEST_F(SamporaExports, OpIncorrectDeepWaitsTwoSeconds)
{
    Open();
    Sim("late 1400");
    EXPECT_EQ(OpIncorrectDeep(), 8) << "the simulator refuses it before AllowDeep";
}

TEST_F(SamporaExports, OneSecondCommandGivesUpOnAReplyOnePointFourSecondsLate)
{
    Open();
    Sim("late 1400");
    EXPECT_EQ(DisAllowDeep(), -1);
}

TEST_F(SamporaExports, ReSendWritesFiveBytesWithoutWaiting)
{
    Open();
    Sim("silent");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReSend(), 5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(sim_.Received(), "60 01 E0 81 03");
    // What the reader answers to it is taken by the next command.
    Sim("reply 01 01 02 03 04");
    unsigned int id = 0;
    EXPECT_EQ(OpenCard(&id), 1);
    EXPECT_EQ(ReSend(), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    id = 0;
    Sim("silent");
    EXPECT_EQ(OpenCard(&id), 1);
    EXPECT_EQ(id, 0x04030201u);
}

TEST_F(SamporaExports, IdleWorkerDrainsUnsolicitedReplies)
{
    Open();
    Sim("send 60 01 05 64 03"); // an unsolicited status-5 frame while idle
    std::this_thread::sleep_for(std::chrono::milliseconds(1600)); // the first idle poll comes after 1 s
    EXPECT_EQ(CloseCard(), 1) << "the worker must have consumed the stray frame";
}

TEST_F(SamporaExports, NoiseAndBurstsBeforeAReplyAreSkipped)
{
    Open();
    Sim("send 01 02 03 55");
    EXPECT_EQ(CloseReader(), 1);
    Sim("burst 1000");
    EXPECT_EQ(CloseReader(), 1);
}

// --- The simulated card ----------------------------------------------------------

TEST_F(SamporaExports, BlocksAndCardFilesRoundTripThroughTheCard)
{
    Open();
    unsigned int id = 0;
    ASSERT_EQ(OpenCard(&id), 1);
    EXPECT_EQ(id, 0x78563412u);
    unsigned char data[48];
    for (int i = 0; i < 48; ++i)
        data[i] = static_cast<unsigned char>(0xC0 + i);
    ASSERT_EQ(WriteBlock(0, 9, data), 1);
    EXPECT_EQ(sim_.Command("block 9"), "ok " + HexOf(data, 16));
    unsigned char back[16] = {};
    ASSERT_EQ(ReadBlock(0, 9, back), 1);
    EXPECT_EQ(HexOf(back, 16), HexOf(data, 16));

    ASSERT_EQ(SetMAD(1, 2, 2), 1); // file 258 in sector 2
    ASSERT_EQ(WriteCardFile(258, 2, 0, 48, data), 1);
    unsigned char file[49] = {};
    file[48] = 0x99;
    ASSERT_EQ(ReadCardFile(258, 2, 1, 3, file), 1);
    EXPECT_EQ(HexOf(file, 32), HexOf(data + 16, 32));
    EXPECT_EQ(HexOf(file + 32, 16), "00 00 00 00 00 00 FF 07 80 69 FF FF FF FF FF FF") << "the sector trailer";
    EXPECT_EQ(file[48], 0x99);
    EXPECT_EQ(ReadCardFile(259, 2, 0, 1, file), 9) << "no such file";

    const short wrong[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(DownSecret(0, 2, wrong), 1);
    EXPECT_EQ(ReadBlock(0, 8, back), 4) << "key A no longer matches";
    EXPECT_EQ(ReadBlock(1, 8, back), 1) << "key B still does";
    short a = 0, b = 0;
    const unsigned char fill[2] = {0xAB, 0xCD};
    EXPECT_EQ(RestoreCard(2, 2, &a, &b, fill), 1);
    EXPECT_EQ(a, 3) << "last sector restored";
    EXPECT_EQ(b, 1) << "sector 2 refused key A";

    Sim("card absent");
    EXPECT_EQ(OpenCard(&id), 2);
}

} // namespace
