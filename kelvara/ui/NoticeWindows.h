// The windows of the two notices the library shows while it works - the
// connection notice (what the reader search is trying) and the progress
// notice a Java program drives - and what each needs from the window system:
// the window it keeps disabled while it is shown, and its own small modeless
// window (dialog template 136, text control 1015). Handles are opaque: an
// HWND on Windows. A caller may take either notice over with a handler of
// its own (KelvaraSetNoticeHandler, KelvaraSetProgressNoticeHandler), which
// on Linux, where there are no windows, is the only place they appear.
#pragma once

#include <string_view>

namespace kelvara {

using WindowHandle = void *;

enum class NoticeKind { Connection, Progress };

namespace notice {
inline constexpr int kShow = 0;
inline constexpr int kSetText = 1;
inline constexpr int kHide = 2;
} // namespace notice

using NoticeHandler = void (*)(void *ctx, int op, const char *text);

// Installs (or, with a null handler, removes) the caller's handler of the
// connection notice and of the progress notice.
void SetNoticeHandler(NoticeHandler handler, void *ctx);
void SetProgressNoticeHandler(NoticeHandler handler, void *ctx);

class NoticeWindows {
public:
    virtual ~NoticeWindows() = default;

    // The top-level window a notice over `parent` belongs to: the first
    // window upward from `parent` that is not a child window; without a
    // parent, the host application's main window found by its title. Null
    // when there is none.
    virtual WindowHandle FindOwner(WindowHandle parent) = 0;
    virtual bool IsEnabled(WindowHandle window) = 0;
    virtual void Enable(WindowHandle window, bool enable) = 0;

    // Creates the notice window owned by `owner` (may be null); it shows at
    // once. Null when it cannot be created.
    virtual WindowHandle Create(NoticeKind kind, WindowHandle owner) = 0;
    // Puts `utf8` into the window's text control.
    virtual void SetText(WindowHandle window, std::string_view utf8) = 0;
    // Destroys the window; false when there is no such window.
    virtual bool Destroy(WindowHandle window) = 0;
};

// The process-wide windows: the notice's own window goes to the caller's
// handler of that notice when one is installed, else to the platform; owner
// windows are always the platform's.
NoticeWindows &SystemNoticeWindows();

// The platform's own windows (Linux: none at all).
NoticeWindows &PlatformNoticeWindows();

// The main window of the host application, found by its title (a build
// setting, KELVARA_HOST_WINDOW_TITLE); null when it is not open, and always
// on Linux.
WindowHandle HostMainWindow();

} // namespace kelvara
