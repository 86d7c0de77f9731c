// What a notice needs from the window system: the window it keeps disabled
// while it is shown, and its own small modeless window (dialog template 136,
// text control 1015). Handles are opaque: an HWND on Windows; Linux has no
// windows, so there the notice lives only in the caller's handler.
#pragma once

#include <string_view>

namespace kelvara {

using WindowHandle = void *;

enum class NoticeKind { Connection, Progress };

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
