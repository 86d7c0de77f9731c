// The Windows notice window: a modeless dialog from template 136, created
// visible and in the foreground; the user cannot close it (no system menu,
// and Escape does nothing), only the library takes it down.
#include "kelvara/ui/NoticeWindows.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/HostWindowTitle.h"
#include "kelvara/platform/win32/LibraryModule.h"
#include "kelvara/platform/win32/WideText.h"
#include "kelvara/ui/DialogResources.h"

namespace kelvara {
namespace {

HWND Hwnd(WindowHandle window) { return static_cast<HWND>(window); }

INT_PTR CALLBACK NoticeProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG ? TRUE : FALSE; }

class DialogWindows final : public NoticeWindows {
public:
    WindowHandle FindOwner(WindowHandle parent) override
    {
        if (parent == nullptr)
            return HostMainWindow();
        // A popup cannot be owned by a child window: its first ancestor
        // that is not a child.
        HWND window = Hwnd(parent);
        while (window != nullptr && (::GetWindowLongW(window, GWL_STYLE) & WS_CHILD) != 0)
            window = ::GetParent(window);
        return window;
    }

    bool IsEnabled(WindowHandle window) override { return ::IsWindowEnabled(Hwnd(window)) != FALSE; }
    void Enable(WindowHandle window, bool enable) override { ::EnableWindow(Hwnd(window), enable ? TRUE : FALSE); }

    WindowHandle Create(NoticeKind, WindowHandle owner) override
    {
        return ::CreateDialogParamW(LibraryModule(), MAKEINTRESOURCEW(KELVARA_IDD_NOTICE), Hwnd(owner), &NoticeProc, 0);
    }

    void SetText(WindowHandle window, std::string_view utf8) override
    {
        ::SetDlgItemTextW(Hwnd(window), KELVARA_IDC_NOTICE_TEXT, Widen(utf8, CP_UTF8).c_str());
    }

    bool Destroy(WindowHandle window) override
    {
        return window != nullptr && ::IsWindow(Hwnd(window)) && ::DestroyWindow(Hwnd(window)) != FALSE;
    }
};

} // namespace

NoticeWindows &PlatformNoticeWindows()
{
    // Never destroyed: the notices still shown when the library is unloaded
    // are taken down by destructors that may run after this one would.
    static DialogWindows *windows = new DialogWindows();
    return *windows;
}

WindowHandle HostMainWindow()
{
    // FindWindow by title alone (no class name); the wide call keeps the
    // title independent of the system code page.
    static const std::wstring title = Widen(KELVARA_HOST_WINDOW_TITLE, CP_UTF8);
    return ::FindWindowW(nullptr, title.c_str());
}

} // namespace kelvara
