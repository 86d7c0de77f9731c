// A notice: a small modeless window titled "提示" with one or two lines of
// text, shown while the library works, that keeps the user away from the
// host's main window meanwhile. The object holds the notice's state; its
// window is reached through the platform's notice windows, so the state
// runs the same on every system (and in tests, over scripted windows).
#pragma once

#include "kelvara/ui/NoticeWindows.h"

#include <string>
#include <string_view>

namespace kelvara {

class NoticeDialog {
public:
    // A progress notice's texts come from the host in its code page; the
    // connection notice's are the library's own UTF-8 texts.
    explicit NoticeDialog(NoticeKind kind, NoticeWindows &windows = SystemNoticeWindows());
    // Takes the window down if it is still shown.
    ~NoticeDialog();
    NoticeDialog(const NoticeDialog &) = delete;
    NoticeDialog &operator=(const NoticeDialog &) = delete;

    // Finds the owner (for `parent`, or the host's main window when it is
    // null), disables it if it was enabled, and creates the window with the
    // current text. False when the window cannot be created; the owner is
    // then enabled again. On a notice already shown it changes nothing.
    bool ShowNotice(WindowHandle parent);
    // Enables the owner again if this notice disabled it, empties the text
    // and destroys the window; the result is the destruction's, so false
    // when no window exists.
    bool HideNotice();
    // Stores the text (null: empty) and shows it in the window if there is one.
    void SetNoticeText(const char *text);
    void SetNoticeText(std::string_view text);

    const std::string &Text() const { return text_; }
    WindowHandle Owner() const { return owner_; }
    bool OwnerDisabled() const { return ownerDisabled_; }
    bool IsShown() const { return window_ != nullptr; }

private:
    void PushText();

    NoticeKind kind_;
    NoticeWindows *windows_;
    std::string text_;
    WindowHandle owner_ = nullptr;
    bool ownerDisabled_ = false;
    WindowHandle window_ = nullptr;
};

// The process-wide connection notice, and the reader search's way to it:
// shown over the host's main window, its text set (UTF-8), hidden. A text
// set while the notice is hidden is kept for the next showing but reaches no
// window.
NoticeDialog &ConnectionNotice();
void ShowNotice();
void SetNoticeText(std::string_view text);
void HideNotice();

} // namespace kelvara
