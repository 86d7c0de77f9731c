// UsbReader and its Linux channel against the USB reader simulator: the
// connection with its status answers and blank-card check, page transfers
// in both modes (with the legacy piece arithmetic), version, lock and exit,
// argument checks, WaitMS, and the channel's own results.
#include "kelvara/readers/usb/UsbReader.h"

#include <cstdio>

#include "kelvara/readers/usb/UsbFrames.h"
#include "kelvara/services/Settings.h"
#include "tests/readers/usb/UsbSimFixture.h"

namespace kelvara::testing {
namespace {

using List = std::vector<std::string>;
constexpr int kTimeoutMs = 200;

class UsbReaderTest : public UsbSimFixture {
protected:
    // A reader connected in `transfers` mode, with the simulator's log cleared.
    UsbReader &Connected(UsbReader::Transfers transfers, wqn::sim::UsbSimOptions options = {})
    {
        auto &sim = StartSim(options);
        reader_ = std::make_unique<UsbReader>(transfers, kTimeoutMs);
        EXPECT_EQ(reader_->Connect(), 2);
        sim.ClearLog();
        return *reader_;
    }

    std::unique_ptr<UsbReader> reader_;
};

TEST_F(UsbReaderTest, ConnectFollowsTheStatusAnswer)
{
    auto &sim = StartSim();
    UsbReader reader(UsbReader::Transfers::Standard, kTimeoutMs);
    EXPECT_EQ(reader.Connect(), 2);
    EXPECT_TRUE(reader.IsConnected());
    EXPECT_EQ(Requests(), (List{"open", "SEND 12 STAT", "RECEIVE 7", "SEND 12 READ", "RECEIVE 271"}));

    for (const char letter : {'Q', 'S'}) {
        sim.SetStatus(letter);
        EXPECT_EQ(reader.Connect(), 1) << letter;
        EXPECT_TRUE(reader.IsConnected());
        EXPECT_TRUE(reader.CardExit()) << "the device stays open";
    }
    for (const char letter : {'U', 'T', 'R', 'x'}) {
        sim.SetStatus(letter);
        sim.ClearLog();
        EXPECT_EQ(reader.Connect(), 0) << letter;
        EXPECT_FALSE(reader.IsConnected());
        EXPECT_FALSE(reader.CardExit()) << "the device is closed";
        // A new connection every time (the simulator notices closes later).
        auto requests = Requests();
        std::erase(requests, "close");
        EXPECT_EQ(requests, (List{"open", "SEND 12 STAT", "RECEIVE 7"})) << letter;
    }
}

TEST_F(UsbReaderTest, NoReaderWhenNothingListens)
{
    UsbReader reader(UsbReader::Transfers::Standard, kTimeoutMs);
    EXPECT_EQ(reader.Connect(), 0); // the socket's path holds nothing yet
    SetEnv("WQN_USB_READER", "");
    EXPECT_EQ(reader.Connect(), 0);
    EXPECT_FALSE(reader.IsConnected());

    UsbChannel channel;
    EXPECT_EQ(channel.Open(), usb_error::kNoMoreItems);
    EXPECT_FALSE(channel.IsOpen());
    std::uint8_t frame[12] = {}, reply[12] = {};
    EXPECT_EQ(channel.Send(12, frame, reply), usb_error::kInvalidHandle);
    channel.Close();
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
}

TEST_F(UsbReaderTest, BlankLastPageIsRewrittenAndMustKeepThePattern)
{
    {
        wqn::sim::FlashCard card(Image());
        card.Erase(); // all 0xFF
    }
    StartSim();
    UsbReader reader(UsbReader::Transfers::Standard, kTimeoutMs);
    EXPECT_EQ(reader.Connect(), 2);
    EXPECT_EQ(Requests(),
              (List{"open", "SEND 12 STAT", "RECEIVE 7", "SEND 12 READ", "RECEIVE 271", "SEND 12 WRTE", "RECEIVE 7",
                    "SEND 266", "RECEIVE 7", "SEND 12 READ", "RECEIVE 271"}));
    StopSim();
    wqn::sim::FlashCard card(Image());
    EXPECT_EQ(std::vector<std::uint8_t>(card.Page(2047), card.Page(2047) + 264), std::vector<std::uint8_t>(264, 0x2B));

    // A card that keeps nothing written to it is reported unusable, whether
    // its last page reads as zeros or as erased flash.
    for (const std::uint8_t blank : {std::uint8_t(0x00), std::uint8_t(0xFF)}) {
        std::vector<std::uint8_t> page(264, blank);
        card.SetPage(2047, page.data());
        wqn::sim::UsbSimOptions options;
        options.ignoreWrites = true;
        StartSim(options);
        EXPECT_EQ(reader.Connect(), 100) << int(blank);
        EXPECT_TRUE(reader.IsConnected());
        StopSim();
    }
}

TEST_F(UsbReaderTest, FailedReadOfTheLastPageNeverLooksBlank)
{
    {
        wqn::sim::FlashCard card(Image());
        card.Erase();
    }
    wqn::sim::UsbSimOptions options;
    wqn::sim::UsbFault fault;
    ASSERT_TRUE(wqn::sim::ParseUsbFault("recvfail:READ", &fault));
    options.faults.push_back(fault);
    StartSim(options);
    UsbReader reader(UsbReader::Transfers::Standard, kTimeoutMs);
    EXPECT_EQ(reader.Connect(), 2);
    // The failed receive is followed by exactly one recovery request, and
    // nothing is written.
    EXPECT_EQ(Requests(), (List{"open", "SEND 12 STAT", "RECEIVE 7", "SEND 12 READ", "RECEIVE 271 !", "RECOVER 271"}));
}

TEST_F(UsbReaderTest, StandardTransfersMoveAWholePageAtOnce)
{
    UsbReader &reader = Connected(UsbReader::Transfers::Standard);
    const auto data = Pattern(264, 3);
    EXPECT_EQ(reader.WriteBlock(12, 0, 264, data.data()), 1);
    EXPECT_EQ(Requests(), (List{"SEND 12 WRTE", "RECEIVE 7", "SEND 266", "RECEIVE 7"}));

    std::vector<std::uint8_t> back(264);
    EXPECT_EQ(reader.ReadBlock(12, 0, 264, back.data()), 1);
    EXPECT_EQ(back, data);
    std::vector<std::uint8_t> part(10);
    EXPECT_EQ(reader.ReadBlock(12, 200, 10, part.data()), 1);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin() + 200));
}

TEST_F(UsbReaderTest, StandardReplyWithWrongChecksFailsAndLeavesTheBufferAlone)
{
    wqn::sim::UsbSimOptions options;
    wqn::sim::UsbFault fault;
    ASSERT_TRUE(wqn::sim::ParseUsbFault("badcheck:READ:1", &fault)); // the connect's read passes
    options.faults.push_back(fault);
    UsbReader &reader = Connected(UsbReader::Transfers::Standard, options);
    std::vector<std::uint8_t> out(264, 0xA5);
    EXPECT_EQ(reader.ReadBlock(0, 0, 264, out.data()), 0);
    EXPECT_EQ(out, std::vector<std::uint8_t>(264, 0xA5));
}

TEST_F(UsbReaderTest, LegacyReadsComeInPiecesOfFiftySeven)
{
    {
        wqn::sim::FlashCard card(Image());
        const auto page = Pattern(264, 9);
        card.SetPage(30, page.data());
    }
    UsbReader &reader = Connected(UsbReader::Transfers::Legacy);
    EXPECT_TRUE(reader.LegacyMode());
    const auto expectedPage = Pattern(264, 9);

    struct Case {
        int length;
        List requests;
    };
    const Case cases[] = {
        {56, {"SEND_LEGACY 12 RE98", "RECEIVE_LEGACY 63"}},
        {57, {"SEND_LEGACY 12 RE98", "RECEIVE_LEGACY 64"}},
        {58, {"SEND_LEGACY 12 RE98", "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART", "RECEIVE_LEGACY 8"}},
        {114, {"SEND_LEGACY 12 RE98", "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART", "RECEIVE_LEGACY 64"}},
        {264,
         {"SEND_LEGACY 12 RE98", "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART", "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART",
          "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART", "RECEIVE_LEGACY 64", "SEND_LEGACY 12 PART", "RECEIVE_LEGACY 43"}},
    };
    for (const Case &c : cases) {
        StartSim(); // a fresh log for each length
        reader.Connect();
        auto &sim = StartSim();
        ASSERT_EQ(reader.Connect(), 2);
        sim.ClearLog();
        std::vector<std::uint8_t> out(std::size_t(c.length));
        ASSERT_EQ(reader.ReadBlock(30, 0, c.length, out.data()), 1) << c.length;
        EXPECT_EQ(Requests(), c.requests) << c.length;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), expectedPage.begin())) << c.length;
    }
    // The pieces are numbered from 1 and the last one is the remainder.
    const auto log = [&] {
        auto &sim = StartSim();
        reader.Connect();
        sim.ClearLog();
        std::vector<std::uint8_t> out(264);
        reader.ReadBlock(30, 0, 264, out.data());
        return sim.Log();
    }();
    const struct {
        std::size_t line; // of the simulator's log
        const char *frame;
    } pieces[] = {{2, "50415254010000003900712F"}, {8, "504152540400000024005F37"}};
    for (const auto &piece : pieces) {
        ASSERT_LT(piece.line, log.size());
        EXPECT_NE(log[piece.line].find(piece.frame), std::string::npos) << log[piece.line];
    }
}

TEST_F(UsbReaderTest, LegacyReadFailsWholeWhenAnyPieceFails)
{
    // The connection's own check reads the last page with RE98 and four PARTs.
    for (const char *faultText : {"sendfail:PART:4:1", "badcheck:PART:6:1", "recvfail:RE98:1:1"}) {
        wqn::sim::UsbSimOptions options;
        wqn::sim::UsbFault fault;
        ASSERT_TRUE(wqn::sim::ParseUsbFault(faultText, &fault));
        options.faults.push_back(fault);
        auto &sim = StartSim(options);
        UsbReader reader(UsbReader::Transfers::Legacy, kTimeoutMs);
        ASSERT_EQ(reader.Connect(), 2) << faultText;
        sim.ClearLog();
        std::vector<std::uint8_t> out(264, 0x5A);
        EXPECT_EQ(reader.ReadBlock(0, 0, 264, out.data()), 0) << faultText;
        EXPECT_EQ(out, std::vector<std::uint8_t>(264, 0x5A)) << faultText;
        const auto requests = Requests();
        ASSERT_GE(requests.size(), 2u);
        const bool failedRequest = faultText[0] != 'b';
        EXPECT_EQ(requests.back().substr(0, 7) == "RECOVER", failedRequest) << faultText;
        StopSim();
    }
}

TEST_F(UsbReaderTest, LegacyWritesGoInPiecesOfFiftySixThenTheRestWithCheckBytes)
{
    UsbReader &reader = Connected(UsbReader::Transfers::Legacy);
    const auto data = Pattern(264, 5);
    EXPECT_EQ(reader.WriteBlock(40, 0, 112, data.data()), 1);
    EXPECT_EQ(Requests(),
              (List{"SEND_LEGACY 12 WR98", "RECEIVE_LEGACY 7", "SEND_LEGACY 56", "SEND_LEGACY 56", "SEND_LEGACY 2",
                    "RECEIVE_LEGACY 7"}));

    auto &sim = StartSim();
    ASSERT_EQ(reader.Connect(), 2);
    sim.ClearLog();
    EXPECT_EQ(reader.WriteBlock(41, 0, 264, data.data()), 1);
    EXPECT_EQ(Requests(),
              (List{"SEND_LEGACY 12 WR98", "RECEIVE_LEGACY 7", "SEND_LEGACY 56", "SEND_LEGACY 56", "SEND_LEGACY 56",
                    "SEND_LEGACY 56", "SEND_LEGACY 42", "RECEIVE_LEGACY 7"}));
    std::vector<std::uint8_t> back(264);
    EXPECT_EQ(reader.ReadBlock(41, 0, 264, back.data()), 1);
    EXPECT_EQ(back, data);
    StopSim();
    wqn::sim::FlashCard card(Image());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 112, card.Page(40)));
}

TEST_F(UsbReaderTest, WriteFailingInAnyPhaseIsReportedAndTheNextOneGoesThrough)
{
    // In legacy mode a page's data go in five send requests (four pieces of
    // 56 bytes, then 40 with the check bytes): DATA:4 is the final one.
    struct Case {
        const char *fault; // %s: the write command of the mode
        bool pageUntouched; // the reader cannot have stored the data
        int writesUntilInStep; // how many later writes it takes to succeed again
    };
    const Case cases[] = {
        {"sendfail:%s:0:1", true, 1},
        {"lose:%s:0:1", true, 1},
        {"recvfail:%s:0:1", true, 1},
        {"refuse:%s:0:1", true, 1},
        // The reader took the command and waits for data the host will not
        // send: the next command goes in as data, fails, and its recovery
        // request puts the path back in step.
        {"badcheck:%s:0:1", true, 2},
        {"sendfail:DATA:0:1", true, 1},
        {"sendfail:DATA:4:1", true, 1},
        {"lose:DATA:0:1", true, 1},
        {"corrupt:DATA:0:1", true, 1},
        {"recvfail:DATA:0:1", false, 1},
        {"silence:DATA:0:1", false, 1},
        {"refuse:DATA:0:1", false, 1},
        {"badcheck:DATA:0:1", false, 1},
        {"empty:DATA:0:1", false, 1},
    };
    for (const auto transfers : {UsbReader::Transfers::Standard, UsbReader::Transfers::Legacy}) {
        const bool legacy = transfers == UsbReader::Transfers::Legacy;
        for (const Case &c : cases) {
            char text[64];
            std::snprintf(text, sizeof text, c.fault, legacy ? "WR98" : "WRTE");
            if (!legacy && std::string(text) == "sendfail:DATA:4:1") {
                std::snprintf(text, sizeof text, "sendfail:DATA:0:1"); // one data request only
            }
            const std::string label = std::string(text) + (legacy ? " legacy" : " standard");
            const auto before = Pattern(264, 1);
            {
                wqn::sim::FlashCard card(Image());
                card.SetPage(50, before.data());
            }
            wqn::sim::UsbSimOptions options;
            wqn::sim::UsbFault fault;
            ASSERT_TRUE(wqn::sim::ParseUsbFault(text, &fault)) << label;
            options.faults.push_back(fault);
            UsbReader &reader = Connected(transfers, options);
            const auto data = Pattern(264, 2);
            EXPECT_EQ(reader.WriteBlock(50, 0, 264, data.data()), 0) << label;
            for (int later = 1; later < c.writesUntilInStep; ++later)
                EXPECT_EQ(reader.WriteBlock(51, 0, 264, data.data()), 0) << label << ": write " << later;
            EXPECT_EQ(reader.WriteBlock(51, 0, 264, data.data()), 1) << label << ": the write that is in step";
            StopSim();
            wqn::sim::FlashCard card(Image());
            if (c.pageUntouched) {
                EXPECT_TRUE(std::equal(before.begin(), before.end(), card.Page(50))) << label;
            }
            EXPECT_TRUE(std::equal(data.begin(), data.end(), card.Page(51))) << label;
        }
    }
}

TEST_F(UsbReaderTest, VersionTextStartsAtByteSevenAndStopsAtFifty)
{
    wqn::sim::UsbSimOptions options;
    options.version = "V626-2.3";
    UsbReader &reader = Connected(UsbReader::Transfers::Standard, options);
    char text[51] = "junk";
    ASSERT_TRUE(reader.GetVersion(text));
    EXPECT_STREQ(text, "V626-2.3");
    EXPECT_EQ(Requests(), (List{"SEND 12 GETV", "RECEIVE 59"}));

    options.version = std::string(60, 'v');
    UsbReader &legacy = Connected(UsbReader::Transfers::Legacy, options);
    ASSERT_TRUE(legacy.GetVersion(text));
    EXPECT_EQ(std::string(text), std::string(50, 'v'));
    EXPECT_EQ(Requests(), (List{"SEND_LEGACY 12 GE98", "RECEIVE_LEGACY 59"}));

    // Wrong check bytes do not matter; another letter does.
    wqn::sim::UsbFault fault;
    ASSERT_TRUE(wqn::sim::ParseUsbFault("badcheck:GETV:0:1", &fault));
    options.faults = {fault};
    ASSERT_TRUE(wqn::sim::ParseUsbFault("refuse:GETV:1:1", &fault));
    options.faults.push_back(fault);
    options.version = "x";
    UsbReader &checked = Connected(UsbReader::Transfers::Standard, options);
    EXPECT_TRUE(checked.GetVersion(text));
    EXPECT_FALSE(checked.GetVersion(text));
}

TEST_F(UsbReaderTest, LockAndExitUseTheStandardRequestsInBothModes)
{
    UsbReader &reader = Connected(UsbReader::Transfers::Legacy);
    EXPECT_TRUE(reader.CardLock());
    EXPECT_TRUE(reader.CardExit());
    EXPECT_EQ(Requests(), (List{"SEND 12 LOCK", "RECEIVE 7", "SEND 12 EXIT", "RECEIVE 7"}));

    wqn::sim::UsbSimOptions options;
    wqn::sim::UsbFault fault;
    ASSERT_TRUE(wqn::sim::ParseUsbFault("refuse:LOCK", &fault));
    options.faults.push_back(fault);
    EXPECT_FALSE(Connected(UsbReader::Transfers::Standard, options).CardLock());
}

TEST_F(UsbReaderTest, ArgumentsOutsideThePageMakeNoRequest)
{
    UsbReader &reader = Connected(UsbReader::Transfers::Standard);
    std::vector<std::uint8_t> buffer(300, 0x42);
    EXPECT_EQ(reader.ReadBlock(0, 0, 0, buffer.data()), 1);
    EXPECT_EQ(reader.WriteBlock(0, 0, 0, buffer.data()), 1);
    EXPECT_EQ(reader.ReadBlock(2048, 0, 1, buffer.data()), 0);
    EXPECT_EQ(reader.ReadBlock(0, 264, 1, buffer.data()), 0);
    EXPECT_EQ(reader.ReadBlock(0, 0, -1, buffer.data()), 0);
    EXPECT_EQ(reader.WriteBlock(2048, 0, 1, buffer.data()), 0);
    EXPECT_EQ(reader.ReadBlock(0, 0, 265, buffer.data()), 0);
    EXPECT_EQ(reader.WriteBlock(0, 0, 265, buffer.data()), 0);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(buffer[0], 0x42);
}

TEST_F(UsbReaderTest, WaitMsIsEnsuredAtEveryOpen)
{
    StartSim();
    UsbReader reader(UsbReader::Transfers::Standard, kTimeoutMs);
    reader.Connect();
    EXPECT_EQ(ReadSettingInt(setting::kWaitMS, 0), 5000);
    WriteSettingInt(setting::kWaitMS, -3);
    reader.Connect();
    EXPECT_EQ(ReadSettingInt(setting::kWaitMS, 0), 5000);
    WriteSettingInt(setting::kWaitMS, 700);
    reader.Connect();
    EXPECT_EQ(ReadSettingInt(setting::kWaitMS, 0), 700);
}

TEST_F(UsbReaderTest, ChannelResultsForSilenceAndEmptyTransfers)
{
    wqn::sim::UsbSimOptions options;
    wqn::sim::UsbFault fault;
    ASSERT_TRUE(wqn::sim::ParseUsbFault("silence:STAT:0:1", &fault));
    options.faults.push_back(fault);
    ASSERT_TRUE(wqn::sim::ParseUsbFault("empty:STAT:0:2", &fault));
    options.faults.push_back(fault);
    StartSim(options);
    UsbChannel channel(kTimeoutMs);
    ASSERT_EQ(channel.Open(), 0u);
    const CommandFrame stat = usb_frame::Stat(false);
    std::uint8_t reply[64] = {};

    // No answer at all: a time-out, then the recovery request, and the
    // channel still carries the next exchange.
    EXPECT_EQ(channel.Send(12, stat.data(), reply), 0u);
    EXPECT_EQ(channel.Receive(7, stat.data(), reply), usb_error::kSemTimeout);
    EXPECT_EQ(channel.Send(12, stat.data(), reply), 0u);
    EXPECT_EQ(channel.Receive(7, stat.data(), reply), 0u); // empty: fine in standard mode
    EXPECT_EQ(channel.SendLegacy(12, stat.data(), reply), 0u);
    EXPECT_EQ(channel.ReceiveLegacy(7, stat.data(), reply), usb_error::kBufferOverflow);
    EXPECT_EQ(channel.SendLegacy(12, stat.data(), reply), 0u);
    EXPECT_EQ(channel.ReceiveLegacy(7, stat.data(), reply), 0u);
    EXPECT_EQ(reply[4], 'P');
    EXPECT_EQ(Requests(),
              (List{"open", "SEND 12 STAT", "RECEIVE 7 !", "RECOVER 7", "SEND 12 STAT", "RECEIVE 7",
                    "SEND_LEGACY 12 STAT", "RECEIVE_LEGACY 7", "SEND_LEGACY 12 STAT", "RECEIVE_LEGACY 7"}));
}

} // namespace
} // namespace kelvara::testing
