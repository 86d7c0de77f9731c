// The four readers through libkelvara.so, each case in a fresh process:
// the connection order for every stored reader mode, the prompts a USB card
// that keeps nothing and a GC481 reader without a card give, the USB
// version and lock, the GC481's missing lock, and one card image carried
// through all four readers.
#include "tests/e2e/readers/ReaderScenario.h"

#include <fstream>
#include <iterator>

namespace kelvara::testing {
namespace {

using List = std::vector<std::string>;

struct Row {
    int stored;
    List attempts;
    int found; // the PortMode the search ends with
};

class AttemptOrder : public ReaderScenario, public ::testing::WithParamInterface<Row> {};

// Every reader is present; all but the last one tried fail to connect, so
// each attempt shows in the shared log and the last one wins.
TEST_P(AttemptOrder, FollowsTheStoredReaderMode)
{
    const Row &row = GetParam();
    Store("PortMode", row.stored);
    const std::string winner = row.attempts.back();
    WithUsb({"--status", "T"});
    WithSilentSerial();
    WithGc481(winner == "gc481" ? "0" : "none");
    WithMcs(winner == "mcs" ? "0" : "none");

    const Run run = RunDriver({"check"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(Attempts(), row.attempts);
    EXPECT_EQ(Stored("PortMode", -1), row.found);
}

INSTANTIATE_TEST_SUITE_P(Rows, AttemptOrder,
                         ::testing::Values(Row{0, {"mcs", "usb", "serial", "gc481"}, 2},
                                           Row{1, {"serial", "usb", "serial", "gc481", "mcs"}, 0},
                                           Row{2, {"gc481", "usb", "serial", "mcs"}, 0},
                                           Row{3, {"usb", "usb", "serial", "gc481", "mcs"}, 0},
                                           Row{7, {"usb", "serial", "gc481", "mcs"}, 0}),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return "PortMode" + std::to_string(info.param.stored);
                         });

TEST_F(ReaderScenario, NoReaderAnywhereKeepsAnUnknownMode)
{
    Store("PortMode", 7);
    WithUsb({"--status", "R"});
    WithGc481("none");
    WithMcs("none");
    const Run run = RunDriver({"check", "lock", "version"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check -1");
    EXPECT_TRUE(run.Saw("box 4133 连接读卡器失败")); // retry prompt, answered Cancel
    EXPECT_EQ(run.Line("lock"), "lock 0");
    EXPECT_EQ(run.Line("version"), "version ");
    EXPECT_EQ(Attempts(), (List{"usb", "gc481", "mcs"}));
    EXPECT_EQ(Stored("PortMode", -1), 7);
}

TEST_F(ReaderScenario, BlankUsbCardThatKeepsNothingIsReportedAsInsertedWrongly)
{
    // PortMode unset means MCS-C first; its library is absent here.
    WithUsb({"--ignore-writes"}); // a new, blank card image
    const Run run = RunDriver({"check"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check -1");
    EXPECT_TRUE(run.Saw("卡可能插反或没有初始化!"));
    EXPECT_EQ(Stored("PortMode", -1), 3);
    EXPECT_EQ(Attempts(), List{"usb"});
}

TEST_F(ReaderScenario, Gc481WithoutACardAsksForTheCard)
{
    Store("PortMode", 2);
    WithGc481("0", "-133");
    const Run run = RunDriver({"check"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check -1");
    EXPECT_TRUE(run.Saw("请将IC卡插入读卡器中!"));
    EXPECT_EQ(Stored("PortMode", -1), 2);
    EXPECT_EQ(Stored("ComPortID", -1), 0);
}

TEST_F(ReaderScenario, UsbReaderGivesItsVersionAndTakesTheLock)
{
    Store("PortMode", 3);
    WithUsb({"--version", "E2E-V626 7.1"});
    const Run run = RunDriver({"check", "version", "lock", "exit"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("version"), "version E2E-V626 7.1");
    EXPECT_EQ(run.Line("lock"), "lock 1");
    EXPECT_EQ(run.Line("exit"), "exit 1");
    int locks = 0;
    for (const auto &line : LogLines())
        locks += line.rfind("usb SEND 12 4C4F434B", 0) == 0; // "LOCK"
    EXPECT_EQ(locks, 1);
}

TEST_F(ReaderScenario, Gc481HasNoLockAndIsNotAskedForOne)
{
    Store("PortMode", 2);
    WithGc481("0");
    const Run run = RunDriver({"check", "mark", "lock", "lock", "mark", "after"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("lock"), "lock 0");
    const List lines = LogLines();
    const auto first = std::find(lines.begin(), lines.end(), "mark lock");
    const auto last = std::find(lines.begin(), lines.end(), "mark after");
    ASSERT_NE(first, lines.end());
    ASSERT_NE(last, lines.end());
    EXPECT_EQ(last - first, 1) << "the reader was contacted between the marks";
}

std::string Content(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = char((i * 131 + seed * 7 + (i >> 7)) & 0xFF);
    return s;
}

std::string ReadAll(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One card image goes from reader to reader: each reads what the one before
// wrote and adds a file of its own.
TEST_F(ReaderScenario, OneCardImageThroughAllFourReaders)
{
    const auto local = Dir() / "local";
    std::filesystem::create_directories(local);
    const std::map<std::string, std::string> files = {{"serial.dat", Content(1500, 1)},
                                                      {"usb.dat", Content(700, 2)},
                                                      {"gc481.dat", Content(2600, 3)},
                                                      {"mcs.dat", Content(258, 4)}};
    for (const auto &[name, content] : files)
        std::ofstream(local / name, std::ios::binary) << content;
    const auto readBack = [&](const std::string &step, const std::string &name) {
        const auto out = Dir() / ("out-" + step);
        std::filesystem::create_directories(out);
        return std::pair(out.string() + "/", (out / name)); // names are appended to the directory
    };

    // The maker's serial reader formats the card and writes the first file.
    Store("PortMode", 1);
    WithSerialSim();
    auto [out1, file1] = readBack("serial", "serial.dat");
    Run run = RunDriver(
        {"check", "format", "write", "\\e2e", (local / "serial.dat").string(), "read", out1, "\\e2e\\serial.dat"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("format"), "format 0");
    EXPECT_EQ(run.Line("write"), "write 0");
    EXPECT_EQ(run.Line("read"), "read 0 serial.dat");
    EXPECT_TRUE(ReadAll(file1) == files.at("serial.dat"));
    StopSerialSim();

    Store("PortMode", 3);
    WithUsb();
    auto [out2, file2] = readBack("usb", "serial.dat");
    run = RunDriver({"check", "read", out2, "\\e2e\\serial.dat", "write", "\\e2e", (local / "usb.dat").string()});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("read"), "read 0 serial.dat");
    EXPECT_TRUE(ReadAll(file2) == files.at("serial.dat"));
    EXPECT_EQ(run.Line("write"), "write 0");
    StopUsb();

    Store("PortMode", 2);
    WithGc481("0");
    auto [out3, file3] = readBack("gc481", "usb.dat");
    run = RunDriver({"check", "read", out3, "\\e2e\\usb.dat", "write", "\\e2e", (local / "gc481.dat").string()});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("read"), "read 0 usb.dat");
    EXPECT_TRUE(ReadAll(file3) == files.at("usb.dat"));
    EXPECT_EQ(run.Line("write"), "write 0");

    Store("PortMode", 0);
    WithGc481("none");
    WithMcs("0");
    const auto out4 = Dir() / "out-mcs";
    std::filesystem::create_directories(out4);
    run =
        RunDriver({"check", "write", "\\e2e", (local / "mcs.dat").string(), "read", out4.string() + "/", "\\e2e\\*.*"});
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.Line("check"), "check 0");
    EXPECT_EQ(run.Line("write"), "write 0");
    const std::string names = run.Line("read");
    for (const auto &[name, content] : files) {
        EXPECT_NE(names.find(name), std::string::npos) << names;
        EXPECT_TRUE(ReadAll(out4 / name) == content) << name;
    }
}

} // namespace
} // namespace kelvara::testing
