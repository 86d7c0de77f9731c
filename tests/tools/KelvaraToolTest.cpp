// The kelvara tool's parts of the host bindings: "settings edit" run as a
// user runs it (answers on stdin, the settings file after it), and the
// status line that carries both notices.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ToolRun.h"
#include "tools/kelvara/StatusLine.h"

namespace kelvara {
namespace {

using e2e::ReadFile;
using e2e::WriteFile;

class SettingsEdit : public e2e::E2eTest {
protected:
    // Runs "kelvara settings edit" with `answers` on stdin; its stdout.
    std::string Edit(const std::string &answers, int *status)
    {
        const std::string inPath = scratch.File("answers.txt");
        WriteFile(inPath, answers);
        const testing::ToolRun run = testing::RunProgram(KELVARA_TOOL_PATH, {"settings", "edit"}, scratch.path(),
                                                         e2e::HostEnvironment(), inPath);
        *status = run.status;
        return run.out;
    }
};

TEST_F(SettingsEdit, ChoosingReaderSpeedAndPortStoresThemInTheDialogsOrder)
{
    int status = 0;
    const std::string out = Edit("2\n3\n4\no\n", &status);
    EXPECT_EQ(status, 0);
    // The dialog as it opens without stored settings.
    EXPECT_NE(out.find("  * 0 MCS-C"), std::string::npos) << out;
    EXPECT_NE(out.find("  * 6 115200"), std::string::npos) << out;
    EXPECT_NE(out.find("  * 0 COM1"), std::string::npos) << out;
    EXPECT_NE(out.find("stored"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(settings), "[Settings]\nBaudRateMax=3\nBaudRateIndex=3\nPortMode=2\nComPortID=4\n");
}

TEST_F(SettingsEdit, TheUsbReaderDisablesSpeedAndPortWhichAreStoredAsTheyWere)
{
    WriteFile(settings, "[Settings]\nBaudRateIndex=1\nComPortID=2\n");
    int status = 0;
    const std::string out = Edit("3\n\n", &status); // USB_V626, then OK (Enter)
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("disabled for the USB reader (kept: 9600, COM3)"), std::string::npos) << out;
    EXPECT_EQ(e2e::Setting("PortMode"), "3");
    EXPECT_EQ(e2e::Setting("BaudRateMax"), "1");
    EXPECT_EQ(e2e::Setting("ComPortID"), "2");
}

TEST_F(SettingsEdit, CancelOrTheEndOfInputStoresNothing)
{
    const std::string before = "[Settings]\nPortMode=3\n";
    WriteFile(settings, before);
    int status = 0;
    std::string out = Edit("0\n5\n1\nc\n", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("(disabled)"), std::string::npos) << out; // opened with the USB reader
    EXPECT_NE(out.find("nothing stored"), std::string::npos) << out;
    out = Edit("1\n9\n", &status); // a speed outside the list, then no more input
    EXPECT_NE(out.find("no such item"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(settings), before);
}

TEST(StatusLine, ShowsBothNoticesWhileEachIsShown)
{
    kelvara::tool::StatusLine line;
    using N = kelvara::tool::StatusLine;
    line.Apply(N::kConnection, 0, "");
    line.Apply(N::kConnection, 1, "正在连接读卡器\r\n请稍候...");
    EXPECT_EQ(line.Text(), "正在连接读卡器 请稍候...");
    line.Apply(N::kProgress, 0, "");
    line.Apply(N::kProgress, 1, "正在写卡");
    EXPECT_EQ(line.Text(), "正在连接读卡器 请稍候... | 正在写卡");
    line.Apply(N::kConnection, 2, "");
    EXPECT_EQ(line.Text(), "正在写卡");
    line.Apply(N::kConnection, 1, "text while hidden");
    EXPECT_EQ(line.Text(), "正在写卡");
    line.Apply(N::kProgress, 2, "");
    EXPECT_EQ(line.Text(), "");
}

} // namespace
} // namespace kelvara
