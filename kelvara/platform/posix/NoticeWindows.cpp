// Linux has no windows: a notice without a handler is shown nowhere, there
// is no owner to disable, and the host's main window is never found.
#include "kelvara/ui/NoticeWindows.h"

namespace kelvara {
namespace {

class NoWindows final : public NoticeWindows {
public:
    WindowHandle FindOwner(WindowHandle) override { return nullptr; }
    bool IsEnabled(WindowHandle) override { return false; }
    void Enable(WindowHandle, bool) override {}
    // Creation succeeds so the notice's state runs as on Windows.
    WindowHandle Create(NoticeKind kind, WindowHandle) override
    {
        return kind == NoticeKind::Connection ? &connection_ : &progress_;
    }
    void SetText(WindowHandle, std::string_view) override {}
    bool Destroy(WindowHandle window) override { return window == &connection_ || window == &progress_; }

private:
    char connection_ = 0;
    char progress_ = 0;
};

} // namespace

NoticeWindows &PlatformNoticeWindows()
{
    // Never destroyed: the notices still shown when the library is unloaded
    // are taken down by destructors that may run after this one would.
    static NoWindows *windows = new NoWindows();
    return *windows;
}

WindowHandle HostMainWindow() { return nullptr; }

} // namespace kelvara
