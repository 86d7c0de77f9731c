// Connecting through libkelvara.so to the serial reader simulator: the search,
// the prompts, the stored settings, speed negotiation, raw pages and the
// reader commands, each scenario in a fresh library process.
#include "tests/e2e/E2eSupport.h"

#include <algorithm>
#include <cstring>

namespace kelvara::e2e {
namespace {

constexpr unsigned kSystemModal = 0x1000;

class SerialReaderE2e : public E2eTest {};

TEST_F(SerialReaderE2e, FirstConnectionSearchesNegotiatesAndRecordsTheReader)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        EXPECT_EQ(TS_CheckKelvara(), 0);
        EXPECT_TRUE(user.prompts.empty());
        ASSERT_FALSE(user.notices.empty());
        EXPECT_EQ(user.notices.front().first, 0);
        EXPECT_EQ(user.notices.at(1), std::make_pair(1, std::string("正在连接读卡器\r\n请稍候...")));
        EXPECT_EQ(user.notices.back().first, 2);
        // The serial reader has no version; lock and exit are its own commands.
        char version[64] = "stale";
        TS_GetVersion(version);
        EXPECT_STREQ(version, "");
        EXPECT_EQ(TS_IcCardLock(), 1);
        EXPECT_EQ(TS_IcCardExit(), 1);
        TS_ReleaseKelvara();
        TS_ReleaseKelvara(); // nothing left to release
        EXPECT_EQ(TS_IcCardLock(), 0);
    });
    EXPECT_EQ(Setting("PortMode"), "1");
    EXPECT_EQ(Setting("ComPortName"), "com1");
    EXPECT_EQ(Setting("BaudRateIndex"), "6");
    // In the registry under Windows: integers as REG_DWORD, texts as REG_SZ.
    const bool windows = wqn::host::runner::UnderWine();
    EXPECT_EQ(StoredSettingType("PortMode"), windows ? "dword" : "ini");
    EXPECT_EQ(StoredSettingType("ComPortName"), windows ? "sz" : "ini");

    const auto frames = ReceivedFrames(log);
    EXPECT_EQ(Count(frames, kBdrt6Frame), 1);
    EXPECT_GE(Count(frames, kStatFrame), 2);
    EXPECT_EQ(Count(frames, kLockFrame), 1);
    EXPECT_EQ(Count(frames, kExitFrame), 1);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), kReleaseReadFrame);
    EXPECT_EQ(Count(frames, kReleaseReadFrame), 1);
    const auto replies = LogLines(log, "TX");
    EXPECT_GE(Count(replies, kStatReplyP), 1);
    EXPECT_EQ(LogLines(log, "SPEED"), std::vector<std::string>{"115200"});
}

TEST_F(SerialReaderE2e, ReaderAlreadyAt57600IsFoundByTheScan)
{
    SerialSim sim(SimArgs({"--speed", "57600"}));
    UseReaderOn(1, sim);
    StoreSetting("BaudRateIndex", 0);
    InFreshProcess([&] { EXPECT_EQ(TS_CheckKelvara(), 0); });
    EXPECT_EQ(Setting("BaudRateIndex"), "5");
    EXPECT_EQ(Setting("PortMode"), "1");
    EXPECT_TRUE(LogLines(log, "SPEED").empty()); // the reader never changed speed
}

TEST_F(SerialReaderE2e, NextProcessReusesTheStoredPortAndSpeed)
{
    SerialSim sim(SimArgs());
    UseReaderOn(2, sim);
    InFreshProcess([&] {
        EXPECT_EQ(TS_CheckKelvara(), 0);
        TS_ReleaseKelvara();
    });
    EXPECT_EQ(Setting("ComPortName"), "com2");
    const std::size_t before = ReceivedFrames(log).size();
    InFreshProcess([&] {
        EXPECT_EQ(TS_CheckKelvara(), 0);
        TS_ReleaseKelvara();
    });
    const auto frames = ReceivedFrames(log);
    ASSERT_GT(frames.size(), before);
    // Straight to the stored speed: a status query, no speed change.
    EXPECT_EQ(frames[before], kStatFrame);
    EXPECT_EQ(Count(std::vector<std::string>(frames.begin() + static_cast<long>(before), frames.end()), kBdrt6Frame),
              0);
    EXPECT_EQ(LogLines(log, "SPEED").size(), 1u);
}

TEST_F(SerialReaderE2e, InsertCardPromptRepeatsUntilTheCardIsThere)
{
    SerialSim sim(SimArgs({"--no-card", "Q"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        int asked = 0;
        user.answer = [&](const Prompt &) {
            if (++asked == 2)
                sim.InsertCard();
            return 1; // OK
        };
        user.Install();
        EXPECT_EQ(TS_CheckKelvara(), 0);
        ASSERT_EQ(user.Texts(), std::vector<std::string>(2, "请将IC卡插入读卡器中!"));
        EXPECT_EQ(user.prompts[0].caption, "提示");
        EXPECT_EQ(user.prompts[0].type, 0x1u | 0x40u | kSystemModal);
    });
    EXPECT_EQ(Setting("PortMode"), "1");
}

TEST_F(SerialReaderE2e, CancelAtTheInsertCardPromptKeepsTheReaderManager)
{
    SerialSim sim(SimArgs({"--no-card", "S"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        EXPECT_EQ(TS_CheckKelvara(), -1);
        EXPECT_EQ(user.Texts(), std::vector<std::string>{"请将IC卡插入读卡器中!"});
        // The manager stays: no new connection prompts, the card prompts follow.
        user.prompts.clear();
        EXPECT_EQ(TS_IsFormat(), -1);
        EXPECT_EQ(user.Texts(), std::vector<std::string>{"读卡出错! 重试?"});
    });
    // A reader without a card still becomes the stored reader.
    EXPECT_EQ(Setting("PortMode"), "1");
    EXPECT_EQ(Setting("ComPortName"), "com1");
}

TEST_F(SerialReaderE2e, RetryAfterNoReaderFindsTheReaderPluggedInMeanwhile)
{
    SerialSim sim(SimArgs());
    InFreshProcess([&] {
        UserScript user;
        user.answer = [&](const Prompt &) {
            UseReaderOn(1, sim); // the user plugs the reader in
            return 4; // Retry
        };
        user.Install();
        EXPECT_EQ(TS_CheckKelvara(), 0);
        ASSERT_EQ(user.Texts(), std::vector<std::string>{"连接读卡器失败,USB设备请重新拔插连接线,重试？"});
        EXPECT_EQ(user.prompts[0].type, 0x5u | 0x20u | kSystemModal);
    });
    EXPECT_EQ(Setting("PortMode"), "1");
}

TEST_F(SerialReaderE2e, NoReaderAndCancelFails)
{
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        EXPECT_EQ(TS_CheckKelvara(), -1);
        EXPECT_EQ(user.prompts.size(), 1u);
        EXPECT_EQ(TS_Format(), -1); // the manager exists: no new search, the write fails
    });
    EXPECT_EQ(Setting("PortMode"), "");
}

TEST_F(SerialReaderE2e, PageExportsGuardTheirArgumentsBeforeAnyTraffic)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        unsigned char buffer[264] = {0x77};
        EXPECT_EQ(TS_ReadBlock(0, 0, 16, buffer, 0), -1); // before any check: no reader manager
        EXPECT_EQ(TS_WriteBlock(0, 0, 16, buffer, 0), -1);
        EXPECT_EQ(TS_ReadIcFiles("/tmp/", "\\a.txt", reinterpret_cast<char *>(buffer)), -1);
        EXPECT_TRUE(ReceivedFrames(log).empty());

        ASSERT_EQ(TS_CheckKelvara(), 0);
        const std::size_t frames = ReceivedFrames(log).size();
        buffer[0] = 0x77;
        EXPECT_EQ(TS_ReadBlock(2048, 0, 1, buffer, 0), -1);
        EXPECT_EQ(TS_ReadBlock(0, 264, 1, buffer, 0), -1);
        EXPECT_EQ(TS_ReadBlock(0, 0, -1, buffer, 0), -1);
        EXPECT_EQ(TS_WriteBlock(2048, 0, 1, buffer, 0), -1);
        // Transfers that would run past the end of the page.
        EXPECT_EQ(TS_ReadBlock(0, 1, 264, buffer, 0), -1);
        EXPECT_EQ(TS_WriteBlock(0, 200, 65, buffer, 0), -1);
        EXPECT_EQ(TS_ReadBlock(0, 0, 0, buffer, 0), 0);
        EXPECT_EQ(buffer[0], 0x77);
        EXPECT_EQ(ReceivedFrames(log).size(), frames);
        EXPECT_EQ(TS_ReadBlock(2047, 263, 1, buffer, 0), 0);
        EXPECT_EQ(ReceivedFrames(log).size(), frames + 1);
    });
}

TEST_F(SerialReaderE2e, CrcFlagSealsWrittenPagesAndChecksReadOnes)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        ASSERT_EQ(TS_CheckKelvara(), 0);
        unsigned char page[264];
        for (int i = 0; i < 264; ++i)
            page[i] = static_cast<unsigned char>(i * 3);
        ASSERT_EQ(TS_WriteBlock(5, 0, 264, page, 1), 0);
        unsigned char read[264] = {};
        ASSERT_EQ(TS_ReadBlock(5, 0, 264, read, 1), 0);
        EXPECT_EQ(std::memcmp(read, page, 264), 0);
        EXPECT_TRUE(user.prompts.empty());

        page[100] ^= 1; // stored without resealing: the checksum no longer fits
        ASSERT_EQ(TS_WriteBlock(6, 0, 264, page, 0), 0);
        EXPECT_EQ(TS_ReadBlock(6, 0, 264, read, 1), 0);
        ASSERT_EQ(user.Texts(), std::vector<std::string>{"CRC校验出错!"});
        EXPECT_EQ(user.prompts[0].type, 0x40u);
        EXPECT_EQ(read[100], page[100]);
    });
    // The sealed page carries the checksum of its first 260 bytes on the card.
    const std::string card = ReadFile(image);
    ASSERT_EQ(card.size(), 540672u);
    const auto *p5 = reinterpret_cast<const unsigned char *>(card.data()) + 5 * 264;
    EXPECT_NE(p5[260] | p5[261] | p5[262] | p5[263], 0);
}

} // namespace
} // namespace kelvara::e2e
