// McsReader against the simulated MCS-C library: the search with its port
// exits and notices, the card test, the call order around each transfer,
// the write verification, and where the library is looked for.
#include "kelvara/readers/vendor/McsReader.h"
#include "tests/readers/vendor/VendorTestSupport.h"

namespace kelvara::testing {
namespace {

class McsReaderTest : public VendorFixture {
protected:
    McsReaderTest()
    {
        SetEnv("WQN_MCS_IMAGE", Path("card.img").string());
        SetEnv("WQN_MCS_LOG", Path("mcs.log").string());
        SetEnv("WQN_MCS_PORTS", "0");
        SetEnv("WQN_MCS_SPEEDS", "");
        SetEnv("WQN_MCS_AUTOTEST", "0");
        SetEnv("WQN_MCS_FAIL_READ", "");
        SetEnv("WQN_MCS_FAIL_WRITE", "");
    }
    std::vector<std::string> Log(const std::string &function = {}) const { return LogLines("mcs.log", function); }
};

TEST_F(McsReaderTest, EveryFailedOpenIsFollowedByExitAndTheScanSkipsTheStoredSpeed)
{
    WriteSettingInt(setting::kBaudRateIndex, 4); // 38400
    SetEnv("WQN_MCS_PORTS", "none");
    McsReader reader(MCS_SR_SIM_PATH);
    Watch(reader);
    EXPECT_EQ(reader.Connect(), 0);

    std::vector<std::string> expected;
    for (int port : {0, 1}) {
        for (int baud : {38400, 115200, 57600, 19200, 14400}) {
            expected.push_back("mcs MCS_InitComm " + std::to_string(port) + " " + std::to_string(baud) + " -> -1");
            expected.push_back("mcs MCS_ExitComm -> 0");
        }
    }
    auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "mcs MCS_ExitComm -> 0"); // Close after a failed search
    log.pop_back();
    EXPECT_EQ(log, expected);

    // The notice names every scanned speed, the stored one included.
    ASSERT_EQ(notices.size(), 10u);
    EXPECT_EQ(notices[2], "正在连接MCS-C,com口:1 波特率:38400");
    EXPECT_EQ(notices[9], "正在连接MCS-C,com口:2 波特率:14400");
}

TEST_F(McsReaderTest, AutoTestDecidesTheResult)
{
    SetEnv("WQN_MCS_AUTOTEST", "49");
    {
        McsReader reader(MCS_SR_SIM_PATH);
        EXPECT_EQ(reader.Connect(), 1);
        EXPECT_TRUE(reader.IsConnected());
        EXPECT_EQ(ReadSettingInt(setting::kComPortID, -1), 0);
        EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -1), 6);
        const std::vector<std::string> expected = {"mcs MCS_InitComm 0 115200 -> 0", "mcs MCS_AutoTest 51 -> 49"};
        EXPECT_EQ(Log(), expected); // the port stays open
    }
    ClearLog("mcs.log");
    SetEnv("WQN_MCS_AUTOTEST", "48");
    EXPECT_EQ(McsReader(MCS_SR_SIM_PATH).Connect(), 1);

    // '2' is no reader: the port is exited and the next candidate tried.
    ClearLog("mcs.log");
    WriteSettingInt(setting::kComPortID, 0);
    SetEnv("WQN_MCS_PORTS", "0,1");
    SetEnv("WQN_MCS_AUTOTEST", "0:50,1:0");
    McsReader reader(MCS_SR_SIM_PATH);
    EXPECT_EQ(reader.Connect(), 2);
    const std::vector<std::string> expected = {"mcs MCS_InitComm 0 115200 -> 0", "mcs MCS_AutoTest 51 -> 50",
                                               "mcs MCS_ExitComm -> 0", "mcs MCS_InitComm 1 115200 -> 0",
                                               "mcs MCS_AutoTest 51 -> 0"};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(ReadSettingInt(setting::kComPortID, -1), 1);
}

TEST_F(McsReaderTest, ReadAddressesTheCardLinearlyBetweenOpenAndCloseCard)
{
    {
        wqn::sim::FlashCard card(Path("card.img").string());
        std::vector<std::uint8_t> page(264);
        for (int i = 0; i < 264; ++i)
            page[std::size_t(i)] = std::uint8_t(i);
        card.SetPage(1, page.data());
    }
    McsReader reader(MCS_SR_SIM_PATH);
    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("mcs.log");
    std::uint8_t buffer[8] = {};
    ASSERT_TRUE(reader.ReadBlock(1, 4, 8, buffer));
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[7], 11);
    const std::vector<std::string> expected = {"mcs AT45D_OpenCard 51 -> 0", "mcs MCS_LED 2 -> 0",
                                               "mcs AT45D_BundleReadChar 268 8 -> 0", "mcs MCS_LED 1 -> 0",
                                               "mcs AT45D_CloseCard -> 0"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(McsReaderTest, WriteReadsBackAndChecksWhateverTheWriteGave)
{
    SetEnv("WQN_MCS_FAIL_WRITE", "3");
    McsReader reader(MCS_SR_SIM_PATH);
    ASSERT_EQ(reader.Connect(), 2);

    auto page = PageWithChecksum(0x40);
    ClearLog("mcs.log");
    EXPECT_TRUE(reader.WriteBlock(2, 0, 264, page.data()));
    std::vector<std::string> calls;
    for (const auto &line : Log())
        calls.push_back(line.substr(0, line.find(' ', 4)));
    const std::vector<std::string> order = {"mcs AT45D_OpenCard",       "mcs MCS_LED", "mcs AT45D_BundleWriteChar",
                                            "mcs AT45D_BundleReadChar", "mcs MCS_LED", "mcs AT45D_CloseCard"};
    EXPECT_EQ(calls, order);
    EXPECT_EQ(CardPage(Path("card.img"), 2), page);

    // A failed write still reads back, switches the LED off and closes the card.
    ClearLog("mcs.log");
    EXPECT_FALSE(reader.WriteBlock(3, 0, 264, page.data()));
    const auto log = Log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_NE(log[2].find("AT45D_BundleWriteChar 792 264"), std::string::npos);
    EXPECT_NE(log[2].find("-> -1"), std::string::npos);
    EXPECT_EQ(log[3], "mcs AT45D_BundleReadChar 792 264 -> 0");
    EXPECT_EQ(log[5], "mcs AT45D_CloseCard -> 0");

    // A page without its checksum lands on the card but fails the check.
    page[100] ^= 0xFF;
    EXPECT_FALSE(reader.WriteBlock(4, 0, 264, page.data()));
    EXPECT_EQ(CardPage(Path("card.img"), 4), page);
}

TEST_F(McsReaderTest, TransfersCheckTheirArgumentsBeforeTheLibrary)
{
    McsReader reader(MCS_SR_SIM_PATH);
    std::uint8_t buffer[264] = {0x55};
    EXPECT_FALSE(reader.WriteBlock(0, 0, 264, buffer)); // not connected
    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("mcs.log");
    EXPECT_TRUE(reader.ReadBlock(3, 0, 0, buffer));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_FALSE(reader.ReadBlock(2048, 0, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 264, 1, buffer));
    EXPECT_FALSE(reader.WriteBlock(0, 0, -4, buffer));
    EXPECT_FALSE(reader.WriteBlock(0, 1, 264, buffer));
    EXPECT_TRUE(Log().empty());
}

TEST_F(McsReaderTest, LibraryWithoutOneOfTheEntryPointsFindsNoReader)
{
    McsReader incomplete(MCS_SR_WITHOUT_LED_PATH);
    EXPECT_EQ(incomplete.Connect(), 0);
    EXPECT_FALSE(incomplete.IsConnected());
    EXPECT_TRUE(Log("MCS_InitComm").empty()); // nothing opened before the check

    McsReader complete(MCS_SR_SIM_PATH);
    EXPECT_NE(complete.Connect(), 0);
}

TEST_F(McsReaderTest, ReconnectExitsTheOldPortBeforeTheLibraryIsLoadedAfresh)
{
    McsReader reader(MCS_SR_SIM_PATH);
    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("mcs.log");
    ASSERT_EQ(reader.Connect(), 2);
    const std::vector<std::string> expected = {"mcs MCS_ExitComm -> 0", "mcs MCS_InitComm 0 115200 -> 0",
                                               "mcs MCS_AutoTest 51 -> 0"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(McsReaderTest, LibraryIsLookedForBesideTheExecutable)
{
    const std::string path = McsLibraryPath();
    const std::string exe = ExecutableFileName();
    ASSERT_FALSE(exe.empty());
    const char separator = vendor_library::kPathSeparator;
    EXPECT_EQ(path, exe.substr(0, exe.rfind(separator)) + separator + vendor_library::kMcsFileName);

    // The test program's directory holds no MCS-C library: no reader, quickly.
    ASSERT_FALSE(std::filesystem::exists(path));
    McsReader reader;
    EXPECT_EQ(reader.Connect(), 0);
    EXPECT_FALSE(reader.IsConnected());
}

} // namespace
} // namespace kelvara::testing
