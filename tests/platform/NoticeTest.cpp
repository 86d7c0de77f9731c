// The connection notice goes to the caller's handler when one is set; the
// Linux message box answers without waiting for anyone.
#include "kelvara/services/Clock.h"
#include "kelvara/services/MessageBox.h"
#include "kelvara/ui/NoticeDialog.h"
#include "kelvara/ui/NoticeWindows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvara {
namespace {

struct Recorded {
    std::vector<std::pair<int, std::string>> calls;
};

void Record(void *ctx, int op, const char *text)
{
    static_cast<Recorded *>(ctx)->calls.emplace_back(op, text != nullptr ? text : "<null>");
}

TEST(Notice, ConnectionNoticeGoesToItsHandlerAndTheProgressHandlerSeesNothingOfIt)
{
    Recorded connection, progress;
    SetNoticeHandler(&Record, &connection);
    SetProgressNoticeHandler(&Record, &progress);
    ShowNotice();
    SetNoticeText("正在连接读卡器\r\n请稍候...");
    HideNotice();
    SetNoticeHandler(nullptr, &connection);
    SetProgressNoticeHandler(nullptr, &progress);
    ShowNotice(); // back to the platform's notice: nothing recorded
    HideNotice();
    ASSERT_EQ(connection.calls.size(), 3u);
    EXPECT_EQ(connection.calls[0], std::make_pair(notice::kShow, std::string()));
    EXPECT_EQ(connection.calls[1], std::make_pair(notice::kSetText, std::string("正在连接读卡器\r\n请稍候...")));
    EXPECT_EQ(connection.calls[2], std::make_pair(notice::kHide, std::string()));
    EXPECT_TRUE(progress.calls.empty());
}

TEST(PlatformMessageBox, AnswersOkOnlyForAnOkBox)
{
    EXPECT_EQ(ShowPlatformMessageBox("t", "提示", mb::kOk | mb::kIconInformation), mb::kIdOk);
    EXPECT_EQ(ShowPlatformMessageBox("t", "提示", mb::kOkCancel | mb::kSystemModal), mb::kIdCancel);
    EXPECT_EQ(ShowPlatformMessageBox("t", "提示", mb::kRetryCancel | mb::kIconError), mb::kIdCancel);
}

TEST(PlatformMessageBox, PrintsControlCharactersAndStrayBytesEscaped)
{
    const struct {
        std::string text;
        std::string printed;
    } cases[] = {
        {"\\dir\\读卡 ok.txt", "\\dir\\读卡 ok.txt"},
        {"a\x1b]0;owned\x07z", "a\\x1B]0;owned\\x07z"},
        {"x\x1b[31mred\r\n\t\x7f", "x\\x1B[31mred\\x0D\\x0A\\x09\\x7F"},
        {std::string("nul\0in", 6), "nul\\x00in"},
        {"c1 \xC2\x9B"
         "2J and \xC2\xA0",
         "c1 \\xC2\\x9B2J and \xC2\xA0"},
        {"stray \x9B\xC4\xE3 \xE4\xBD", "stray \\x9B\\xC4\\xE3 \\xE4\\xBD"},
        {"\xF0\x9F\x98\x80 \xC0\x80", "\xF0\x9F\x98\x80 \\xC0\\x80"},
    };
    for (const auto &c : cases) {
        ::testing::internal::CaptureStderr();
        ShowPlatformMessageBox(c.text, "提\x1b", mb::kOk);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[提\\x1B] " + c.printed + "\n") << c.printed;
    }
}

TEST(SystemClock, CountsForwardAndSleeps)
{
    Clock &clock = SystemClock();
    const std::int64_t before = clock.NowMs();
    EXPECT_GE(before, 0);
    clock.SleepMs(5);
    EXPECT_GE(clock.NowMs() - before, 5);
}

} // namespace
} // namespace kelvara
