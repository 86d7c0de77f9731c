// The notice's state over scripted windows (owner search, disabling and
// enabling, failed creation), the handler routing of both notices, and the
// progress notice's lifetimes in CardApp.
#include "kelvara/ui/NoticeDialog.h"
#include "kelvara/app/CardApp.h"
#include "kelvara/ui/NoticeWindows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvara {
namespace {

// Windows as a test scripts them: an owner window that may start enabled or
// disabled, creation that may fail, and a log of every call.
class ScriptedWindows final : public NoticeWindows {
public:
    WindowHandle owner = &ownerWindow;
    bool ownerEnabled = true;
    bool createFails = false;
    std::vector<std::string> log;
    WindowHandle parentAsked = nullptr;

    WindowHandle FindOwner(WindowHandle parent) override
    {
        parentAsked = parent;
        return owner;
    }
    bool IsEnabled(WindowHandle) override { return ownerEnabled; }
    void Enable(WindowHandle, bool enable) override
    {
        ownerEnabled = enable;
        log.push_back(enable ? "enable" : "disable");
    }
    WindowHandle Create(NoticeKind, WindowHandle createdOwner) override
    {
        log.push_back(createdOwner != nullptr && createdOwner == owner ? "create owned" : "create unowned");
        if (createFails)
            return nullptr;
        ++windowsAlive;
        return &noticeWindow;
    }
    void SetText(WindowHandle window, std::string_view text) override
    {
        EXPECT_EQ(window, &noticeWindow);
        log.push_back("text " + std::string(text));
    }
    bool Destroy(WindowHandle window) override
    {
        log.push_back("destroy");
        if (window != &noticeWindow || windowsAlive == 0)
            return false;
        --windowsAlive;
        return true;
    }

    int windowsAlive = 0;
    char ownerWindow = 0;
    char noticeWindow = 0;
};

using Log = std::vector<std::string>;

TEST(NoticeDialog, ShowDisablesAnEnabledOwnerAndHideEnablesItAndEmptiesTheText)
{
    ScriptedWindows windows;
    NoticeDialog notice(NoticeKind::Connection, windows);
    char parent = 0;
    ASSERT_TRUE(notice.ShowNotice(&parent));
    EXPECT_EQ(windows.parentAsked, &parent);
    EXPECT_TRUE(notice.OwnerDisabled());
    EXPECT_EQ(notice.Owner(), windows.owner);
    notice.SetNoticeText("正在连接读卡器\r\n请稍候...");
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_TRUE(windows.ownerEnabled);
    EXPECT_FALSE(notice.OwnerDisabled());
    EXPECT_EQ(notice.Text(), "");
    EXPECT_EQ(windows.log, (Log{"disable", "create owned", "text 正在连接读卡器\r\n请稍候...", "enable", "destroy"}));

    // Shown again after it was hidden.
    windows.log.clear();
    ASSERT_TRUE(notice.ShowNotice(nullptr));
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_EQ(windows.log, (Log{"disable", "create owned", "enable", "destroy"}));
}

TEST(NoticeDialog, AnOwnerThatWasAlreadyDisabledStaysDisabled)
{
    ScriptedWindows windows;
    windows.ownerEnabled = false;
    NoticeDialog notice(NoticeKind::Connection, windows);
    ASSERT_TRUE(notice.ShowNotice(nullptr));
    EXPECT_FALSE(notice.OwnerDisabled());
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_FALSE(windows.ownerEnabled);
    EXPECT_EQ(windows.log, (Log{"create owned", "destroy"}));
}

TEST(NoticeDialog, WithoutAnOwnerNothingIsDisabled)
{
    ScriptedWindows windows;
    windows.owner = nullptr;
    NoticeDialog notice(NoticeKind::Connection, windows);
    ASSERT_TRUE(notice.ShowNotice(nullptr));
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_EQ(windows.log, (Log{"create unowned", "destroy"}));
}

TEST(NoticeDialog, FailedCreationEnablesTheOwnerAgainAndHideThenFails)
{
    ScriptedWindows windows;
    windows.createFails = true;
    NoticeDialog notice(NoticeKind::Progress, windows);
    EXPECT_FALSE(notice.ShowNotice(nullptr));
    EXPECT_TRUE(windows.ownerEnabled);
    EXPECT_FALSE(notice.OwnerDisabled());
    notice.SetNoticeText("kept"); // stored, no window to show it
    EXPECT_EQ(notice.Text(), "kept");
    EXPECT_FALSE(notice.HideNotice());
    EXPECT_EQ(windows.log, (Log{"disable", "create owned", "enable"}));
}

TEST(NoticeDialog, NullTextShowsAnEmptyLineAndTextSetWhileHiddenShowsWithTheWindow)
{
    ScriptedWindows windows;
    NoticeDialog notice(NoticeKind::Connection, windows);
    notice.SetNoticeText("before");
    ASSERT_TRUE(notice.ShowNotice(nullptr));
    notice.SetNoticeText(static_cast<const char *>(nullptr));
    EXPECT_EQ(notice.Text(), "");
    EXPECT_EQ(windows.log, (Log{"disable", "create owned", "text before", "text "}));
}

TEST(NoticeDialog, ShowingAShownNoticeMakesNoSecondWindowAndTheDestructorTakesItDown)
{
    ScriptedWindows windows;
    {
        NoticeDialog notice(NoticeKind::Connection, windows);
        ASSERT_TRUE(notice.ShowNotice(nullptr));
        ASSERT_TRUE(notice.ShowNotice(nullptr));
        EXPECT_EQ(windows.windowsAlive, 1);
    }
    EXPECT_EQ(windows.windowsAlive, 0);
    EXPECT_TRUE(windows.ownerEnabled);
}

// --- the process's notices and their handlers ------------------------------

struct Seen {
    std::vector<std::pair<int, std::string>> calls;
    static void Record(void *ctx, int op, const char *text)
    {
        static_cast<Seen *>(ctx)->calls.emplace_back(op, text != nullptr ? text : "<null>");
    }
};

class Handlers : public ::testing::Test {
protected:
    Handlers()
    {
        SetNoticeHandler(&Seen::Record, &connection);
        SetProgressNoticeHandler(&Seen::Record, &progress);
    }
    ~Handlers() override
    {
        SetNoticeHandler(nullptr, nullptr);
        SetProgressNoticeHandler(nullptr, nullptr);
    }
    Seen connection, progress;
};

TEST_F(Handlers, ProgressNoticeOfCardAppIsOneWindowWhoseTextChanges)
{
    CardApp app;
    app.SetProgressText("nothing shown yet"); // no progress notice: nothing
    app.HideProgress(); // nothing either
    EXPECT_TRUE(progress.calls.empty());
    EXPECT_EQ(app.ProgressNotice(), nullptr);

    app.ShowProgress("正在读卡");
    app.ShowProgress("正在写卡");
    app.SetProgressText("完成");
    ASSERT_NE(app.ProgressNotice(), nullptr);
    EXPECT_TRUE(app.ProgressNotice()->IsShown());
    app.HideProgress();
    EXPECT_EQ(app.ProgressNotice(), nullptr);
    EXPECT_EQ(progress.calls,
              (std::vector<std::pair<int, std::string>>{
                  {notice::kShow, ""},
                  {notice::kSetText, "正在读卡"},
                  {notice::kSetText, "正在写卡"},
                  {notice::kSetText, "完成"},
                  {notice::kHide, ""},
              }));
    EXPECT_TRUE(connection.calls.empty());
}

TEST_F(Handlers, ProgressNoticeLeftShownGoesDownWithCardApp)
{
    {
        CardApp app;
        app.ShowProgress("still here");
    }
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls.back().first, notice::kHide);
}

TEST_F(Handlers, BothNoticesAtOnceEachInItsOwnHandler)
{
    CardApp app;
    app.ShowProgress("progress");
    ShowNotice();
    SetNoticeText("connecting");
    HideNotice();
    app.HideProgress();
    EXPECT_EQ(connection.calls,
              (std::vector<std::pair<int, std::string>>{
                  {notice::kShow, ""}, {notice::kSetText, "connecting"}, {notice::kHide, ""}}));
    EXPECT_EQ(progress.calls,
              (std::vector<std::pair<int, std::string>>{
                  {notice::kShow, ""}, {notice::kSetText, "progress"}, {notice::kHide, ""}}));
}

TEST_F(Handlers, ANoticeShownThroughAHandlerIsHiddenThroughItAfterTheHandlerChanged)
{
    Seen later;
    ShowNotice();
    SetNoticeHandler(&Seen::Record, &later);
    SetNoticeText("to the handler now set");
    HideNotice();
    EXPECT_EQ(connection.calls.size(), 1u);
    EXPECT_EQ(
        later.calls,
        (std::vector<std::pair<int, std::string>>{{notice::kSetText, "to the handler now set"}, {notice::kHide, ""}}));
    // Without a handler the notice is shown nowhere and hides all the same.
    SetNoticeHandler(nullptr, nullptr);
    NoticeDialog &notice = ConnectionNotice();
    ShowNotice();
    EXPECT_TRUE(notice.IsShown());
    EXPECT_TRUE(notice.HideNotice());
}

} // namespace
} // namespace kelvara
