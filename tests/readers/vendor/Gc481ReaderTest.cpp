// Gc481Reader against the simulated GC481 library: the port and speed
// search with its notices and stored settings, the card test, the page
// transfers with their write verification, and closing.
#include "kelvara/readers/vendor/Gc481Reader.h"
#include "tests/readers/vendor/VendorTestSupport.h"

namespace kelvara::testing {
namespace {

class Gc481ReaderTest : public VendorFixture {
protected:
    Gc481ReaderTest()
    {
        SetEnv("WQN_GC481_IMAGE", Path("card.img").string());
        SetEnv("WQN_GC481_LOG", Path("gc481.log").string());
        SetEnv("WQN_GC481_PORTS", "0");
        SetEnv("WQN_GC481_SPEEDS", "");
        SetEnv("WQN_GC481_STATUS", "0");
        SetEnv("WQN_GC481_FAIL_READ", "");
        SetEnv("WQN_GC481_FAIL_WRITE", "");
    }
    std::vector<std::string> Log(const std::string &function = {}) const { return LogLines("gc481.log", function); }
};

TEST_F(Gc481ReaderTest, WithoutStoredSettingsScansComOneThenComTwoFromTheTopSpeed)
{
    SetEnv("WQN_GC481_PORTS", "none"); // no reader anywhere
    Gc481Reader reader(GCIC32_SIM_PATH);
    Watch(reader);
    EXPECT_EQ(reader.Connect(), 0);
    EXPECT_FALSE(reader.IsConnected());

    const std::vector<std::string> expected = {
        "gc481 IC_InitComm_Baud 0 115200 -> -1", "gc481 IC_InitComm_Baud 0 57600 -> -1",
        "gc481 IC_InitComm_Baud 0 38400 -> -1",  "gc481 IC_InitComm_Baud 0 19200 -> -1",
        "gc481 IC_InitComm_Baud 0 14400 -> -1",  "gc481 IC_InitComm_Baud 1 115200 -> -1",
        "gc481 IC_InitComm_Baud 1 57600 -> -1",  "gc481 IC_InitComm_Baud 1 38400 -> -1",
        "gc481 IC_InitComm_Baud 1 19200 -> -1",  "gc481 IC_InitComm_Baud 1 14400 -> -1"};
    EXPECT_EQ(Log(), expected); // a failed open is never followed by IC_ExitComm

    // Port numbers in the notice count from 1; the stored speed is named too.
    ASSERT_EQ(notices.size(), 10u);
    EXPECT_EQ(notices[0], "正在连接GC481,com口:1 波特率:115200");
    EXPECT_EQ(notices[4], "正在连接GC481,com口:1 波特率:14400");
    EXPECT_EQ(notices[5], "正在连接GC481,com口:2 波特率:115200");
    EXPECT_EQ(ReadSettingInt(setting::kComPortID, -7), -7);
    EXPECT_FALSE(wqn::testing::LibraryLoaded(GCIC32_SIM_PATH)); // unloaded again
}

TEST_F(Gc481ReaderTest, StoredNineSixHundredIsTriedFirstAndFourEightHundredNever)
{
    WriteSettingInt(setting::kBaudRateIndex, 1);
    SetEnv("WQN_GC481_PORTS", "1");
    SetEnv("WQN_GC481_SPEEDS", "19200");
    Gc481Reader reader(GCIC32_SIM_PATH);
    EXPECT_EQ(reader.Connect(), 2);

    const auto opens = Log("IC_InitComm_Baud");
    const std::vector<std::string> expected = {
        "gc481 IC_InitComm_Baud 0 9600 -> -1",  "gc481 IC_InitComm_Baud 0 115200 -> -1",
        "gc481 IC_InitComm_Baud 0 57600 -> -1", "gc481 IC_InitComm_Baud 0 38400 -> -1",
        "gc481 IC_InitComm_Baud 0 19200 -> -1", "gc481 IC_InitComm_Baud 0 14400 -> -1",
        "gc481 IC_InitComm_Baud 1 9600 -> -1",  "gc481 IC_InitComm_Baud 1 115200 -> -1",
        "gc481 IC_InitComm_Baud 1 57600 -> -1", "gc481 IC_InitComm_Baud 1 38400 -> -1",
        "gc481 IC_InitComm_Baud 1 19200 -> 16"};
    EXPECT_EQ(opens, expected);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -1), 3);
    EXPECT_EQ(ReadSettingInt(setting::kComPortID, -1), 1);
}

TEST_F(Gc481ReaderTest, CardTestDecidesTheResultAndABadPortIsExitedOnce)
{
    {
        SetEnv("WQN_GC481_STATUS", "-133");
        Gc481Reader reader(GCIC32_SIM_PATH);
        EXPECT_EQ(reader.Connect(), 1);
        EXPECT_TRUE(reader.IsConnected());
        EXPECT_EQ(ReadSettingInt(setting::kComPortID, -1), 0);
        EXPECT_EQ(Log().back(), "gc481 IC_Status 16 -> -133"); // the port stays open
        EXPECT_EQ(Log("IC_InitType"), std::vector<std::string>{"gc481 IC_InitType 16 65 -> 0"});
    }
    EXPECT_EQ(Log().back(), "gc481 IC_ExitComm 16 -> 0"); // closed with the reader

    ClearLog("gc481.log");
    SetEnv("WQN_GC481_STATUS", "-134");
    EXPECT_EQ(Gc481Reader(GCIC32_SIM_PATH).Connect(), 1);

    // A port answering another status is exited and the next one tried;
    // a search that finds nothing exits no port a second time.
    ClearLog("gc481.log");
    SetEnv("WQN_GC481_PORTS", "0,1");
    SetEnv("WQN_GC481_STATUS", "7");
    Gc481Reader failing(GCIC32_SIM_PATH);
    EXPECT_EQ(failing.Connect(), 0);
    EXPECT_EQ(Log("IC_ExitComm").size(), 2u);
    EXPECT_EQ(Log("IC_ExitComm").size(), Log("IC_Status").size());
    for (const auto &line : Log("IC_ExitComm"))
        EXPECT_NE(line.find("-> 0"), std::string::npos) << line;

    ClearLog("gc481.log");
    SetEnv("WQN_GC481_STATUS", "0:5,1:0");
    Gc481Reader second(GCIC32_SIM_PATH);
    EXPECT_EQ(second.Connect(), 2);
    EXPECT_EQ(ReadSettingInt(setting::kComPortID, -1), 1);
}

TEST_F(Gc481ReaderTest, StoredPortIsTriedFirstAndNotTwice)
{
    WriteSettingInt(setting::kComPortID, 1);
    WriteSettingInt(setting::kBaudRateIndex, 6);
    SetEnv("WQN_GC481_PORTS", "none");
    EXPECT_EQ(Gc481Reader(GCIC32_SIM_PATH).Connect(), 0);
    const auto opens = Log("IC_InitComm_Baud");
    ASSERT_EQ(opens.size(), 10u);
    EXPECT_EQ(opens[0], "gc481 IC_InitComm_Baud 1 115200 -> -1");
    EXPECT_EQ(opens[5], "gc481 IC_InitComm_Baud 0 115200 -> -1");
    EXPECT_EQ(opens[9], "gc481 IC_InitComm_Baud 0 14400 -> -1");
}

TEST_F(Gc481ReaderTest, MissingLibraryOrEntryPointFindsNoReader)
{
    EXPECT_EQ(Gc481Reader(Path("no-such-library.so").string()).Connect(), 0);

    // A library without one of the entry points the adapter calls is
    // refused before anything is called (calling one would call null).
    const std::string incompleteLibraries[] = {GCIC32_WITHOUT_DIRECT_WRITE_PATH, GCIC32_WITHOUT_INIT_COMM_BAUD_PATH,
                                               GCIC32_WITHOUT_EXIT_COMM_PATH};
    for (const std::string &library : incompleteLibraries) {
        Gc481Reader incomplete(library);
        EXPECT_EQ(incomplete.Connect(), 0) << library;
        EXPECT_FALSE(incomplete.IsConnected()) << library;
        EXPECT_TRUE(Log().empty()) << library; // nothing called before the check
    }

    // IC_Down is looked up but never called: its absence does not matter.
    Gc481Reader withoutDown(GCIC32_WITHOUT_DOWN_PATH);
    EXPECT_EQ(withoutDown.Connect(), 2);
}

TEST_F(Gc481ReaderTest, WriteIsVerifiedByTheChecksumOfThePageReadBack)
{
    Gc481Reader reader(GCIC32_SIM_PATH);
    ASSERT_EQ(reader.Connect(), 2);

    auto page = PageWithChecksum(0x10);
    EXPECT_TRUE(reader.WriteBlock(5, 0, 264, page.data()));
    EXPECT_EQ(Log().back(), "gc481 IC_DirectRead 16 5 0 264 -> 0");

    std::vector<std::uint8_t> back(264, 0xEE);
    EXPECT_TRUE(reader.ReadBlock(5, 0, 264, back.data()));
    EXPECT_EQ(back, page);

    // A wrong checksum reaches the card but the write is reported failed.
    page[7] ^= 0x01;
    EXPECT_FALSE(reader.WriteBlock(6, 0, 264, page.data()));
    EXPECT_EQ(CardPage(Path("card.img"), 6), page);

    // A failed write is not read back; a failed read-back fails the write.
    SetEnv("WQN_GC481_FAIL_WRITE", "8");
    SetEnv("WQN_GC481_FAIL_READ", "9");
    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("gc481.log");
    auto good = PageWithChecksum(0x20);
    EXPECT_FALSE(reader.WriteBlock(8, 0, 264, good.data()));
    EXPECT_TRUE(Log("IC_DirectRead").empty());
    EXPECT_FALSE(reader.WriteBlock(9, 0, 264, good.data()));
    EXPECT_EQ(Log("IC_DirectRead").size(), 1u);
}

TEST_F(Gc481ReaderTest, TransfersCheckTheirArgumentsBeforeTheLibrary)
{
    Gc481Reader reader(GCIC32_SIM_PATH);
    std::uint8_t buffer[264] = {0x77};
    EXPECT_FALSE(reader.ReadBlock(1, 0, 16, buffer)); // not connected
    EXPECT_EQ(buffer[0], 0);

    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("gc481.log");
    buffer[0] = 0x77;
    EXPECT_TRUE(reader.ReadBlock(1, 0, 0, buffer));
    EXPECT_EQ(buffer[0], 0); // cleared even when nothing is read
    EXPECT_TRUE(reader.WriteBlock(1, 0, 0, buffer));
    EXPECT_FALSE(reader.ReadBlock(2048, 0, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 264, 1, buffer));
    EXPECT_FALSE(reader.ReadBlock(0, 0, -1, buffer));
    EXPECT_FALSE(reader.WriteBlock(0, 8, 264, buffer)); // past the end of the page
    EXPECT_TRUE(Log().empty());

    EXPECT_TRUE(reader.ReadBlock(2047, 263, 1, buffer));
    EXPECT_EQ(Log().back(), "gc481 IC_DirectRead 16 2047 263 1 -> 0");
}

TEST_F(Gc481ReaderTest, ReconnectExitsTheOldPortAndCloseLeavesNothingOpen)
{
    Gc481Reader reader(GCIC32_SIM_PATH);
    ASSERT_EQ(reader.Connect(), 2);
    ClearLog("gc481.log");
    ASSERT_EQ(reader.Connect(), 2);
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "gc481 IC_ExitComm 16 -> 0");
    EXPECT_EQ(log[1], "gc481 IC_InitComm_Baud 0 115200 -> 16"); // the library was loaded afresh

    EXPECT_TRUE(wqn::testing::LibraryLoaded(GCIC32_SIM_PATH));
    reader.Close();
    EXPECT_FALSE(reader.IsConnected());
    EXPECT_FALSE(wqn::testing::LibraryLoaded(GCIC32_SIM_PATH));
    std::uint8_t buffer[4];
    EXPECT_FALSE(reader.ReadBlock(0, 0, 4, buffer));
    reader.Close(); // a second close does nothing
    EXPECT_EQ(Log("IC_ExitComm").size(), 2u);
}

// The library by its bare name is the installed one: a copy planted in the
// current directory is never loaded; on Windows one in a directory on PATH
// is (Linux has only the loader's search path, fixed at start).
TEST_F(Gc481ReaderTest, TheLibraryIsNeverTakenFromTheCurrentDirectory)
{
    const std::filesystem::path planted = std::filesystem::absolute(Path("planted"));
    std::filesystem::create_directories(planted);
    std::filesystem::copy_file(GCIC32_SIM_PATH, planted / vendor_library::kGc481Name);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(planted);
    const int fromCurrentDirectory = Gc481Reader().Connect();
    std::filesystem::current_path(before);
    EXPECT_EQ(fromCurrentDirectory, 0);
    EXPECT_EQ(Log(), std::vector<std::string>{});

    if (vendor_library::kPathSeparator == '\\') {
        const char *path = std::getenv("PATH");
        SetEnv("PATH", "relative;" + planted.string() + ";" + (path ? path : ""));
        EXPECT_EQ(Gc481Reader().Connect(), 2);
    }
}

} // namespace
} // namespace kelvara::testing
