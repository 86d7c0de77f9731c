// What the tests of the library's windows under Wine share: a host
// application's main window with the title the library looks for, dialogs
// and their controls read through Win32, a thread, the settings as the
// registry holds them, and pictures of the screen.
#pragma once

#include "kelvara/HostWindowTitle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace kelvara::win32_test {

inline std::wstring Utf16(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
    return wide;
}

inline std::string Utf8(const std::wstring &wide)
{
    if (wide.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(std::size_t(n > 0 ? n : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

// The host application's main window, found by the library through its
// title. A message posted with Post() runs `onPosted` when a message loop of
// this thread dispatches it (the library's own pump while it works).
class HostWindow {
public:
    static constexpr UINT kPosted = WM_APP + 7;

    HostWindow()
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KelvaraTestHost";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
        ::RegisterClassW(&wc);
        main = ::CreateWindowW(L"KelvaraTestHost", Utf16(KELVARA_HOST_WINDOW_TITLE).c_str(),
                               WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 480, 320, nullptr, nullptr, wc.hInstance,
                               nullptr);
        ::SetWindowLongPtrW(main, GWLP_USERDATA, LONG_PTR(this));
        child = ::CreateWindowW(L"STATIC", L"child", WS_CHILD, 0, 0, 10, 10, main, nullptr, wc.hInstance, nullptr);
    }
    ~HostWindow() { ::DestroyWindow(main); }
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

    void Post() { ::PostMessageW(main, kPosted, 0, 0); }

    HWND main = nullptr;
    HWND child = nullptr;
    std::function<void()> onPosted;
    int postedRuns = 0;

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = reinterpret_cast<HostWindow *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == kPosted && self != nullptr) {
            ++self->postedRuns;
            if (self->onPosted)
                self->onPosted();
            return 0;
        }
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
};

inline std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = L"";
    ::GetWindowTextW(window, text, 1024);
    return text;
}

inline std::wstring ClassName(HWND window)
{
    wchar_t name[64] = L"";
    ::GetClassNameW(window, name, 64);
    return name;
}

inline std::wstring ControlText(HWND dialog, int id)
{
    wchar_t text[256] = L"";
    ::GetDlgItemTextW(dialog, id, text, 256);
    return text;
}

// The visible dialogs of this process with `title`.
inline std::vector<HWND> Dialogs(const wchar_t *title)
{
    struct Search {
        std::wstring title;
        std::vector<HWND> found;
    } search{title, {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto &s = *reinterpret_cast<Search *>(context);
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) && ClassName(window) == L"#32770" &&
                WindowText(window) == s.title)
                s.found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline HWND FindDialog(const wchar_t *title) { return ::FindWindowW(L"#32770", title); }

// Waits (up to 10 s) until a dialog with `title` is visible; null if none.
inline HWND AwaitDialog(const wchar_t *title)
{
    for (int i = 0; i < 500; ++i) {
        const std::vector<HWND> found = Dialogs(title);
        if (!found.empty())
            return found.front();
        ::Sleep(20);
    }
    return nullptr;
}

inline std::vector<std::string> Items(HWND list)
{
    std::vector<std::string> items;
    const LRESULT count = ::SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char text[64] = "";
        ::SendMessageA(list, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
        items.push_back(text);
    }
    return items;
}

inline int Selection(HWND list) { return int(::SendMessageW(list, CB_GETCURSEL, 0, 0)); }

// The dialog's children in their order (the template's).
inline std::vector<HWND> Children(HWND dialog)
{
    std::vector<HWND> children;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

// A rectangle in dialog units, in the dialog's pixels: its place and its
// size each converted on their own, as the dialog manager places controls.
inline RECT DialogUnits(HWND dialog, int x, int y, int width, int height)
{
    RECT place{x, y, x, y};
    RECT size{0, 0, width, height};
    ::MapDialogRect(dialog, &place);
    ::MapDialogRect(dialog, &size);
    return {place.left, place.top, place.left + size.right, place.top + size.bottom};
}

// Where a control lies in its dialog's client area.
inline RECT PlaceInDialog(HWND control)
{
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, ::GetParent(control), reinterpret_cast<POINT *>(&r), 2);
    return r;
}

// How many characters of `text` the font has no glyph for (drawn as boxes);
// line breaks and other control characters are not drawn and do not count.
inline int MissingGlyphs(HFONT font, std::wstring text)
{
    std::erase_if(text, [](wchar_t c) { return c < L' '; });
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font);
    std::vector<WORD> glyphs(text.size(), 0);
    const DWORD converted =
        ::GetGlyphIndicesW(dc, text.c_str(), int(text.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    if (converted == GDI_ERROR)
        return int(text.size());
    int missing = 0;
    for (WORD g : glyphs)
        missing += g == 0xFFFF ? 1 : 0;
    return missing;
}

// The same for the title bars' font.
inline int MissingCaptionGlyphs(const std::wstring &text)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return int(text.size());
    HFONT font = ::CreateFontIndirectW(&metrics.lfCaptionFont);
    const int missing = MissingGlyphs(font, text);
    ::DeleteObject(font);
    return missing;
}

inline LOGFONTW FontOf(HWND window)
{
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
}

// The height a font of `points` gets on this screen.
inline LONG PointsHeight(int points)
{
    HDC dc = ::GetDC(nullptr);
    const LONG height = -::MulDiv(points, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
    ::ReleaseDC(nullptr, dc);
    return height;
}

// Runs `body` on a thread of its own until it returns (the win32 thread
// model of this build has no std::thread).
class Thread {
public:
    explicit Thread(std::function<void()> body)
        : body_(std::move(body)),
          handle_(::CreateThread(nullptr, 0, &Entry, this, 0, nullptr))
    {
    }
    ~Thread() { Join(); }
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    void Join()
    {
        if (handle_ == nullptr)
            return;
        ::WaitForSingleObject(handle_, INFINITE);
        ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Entry(LPVOID self)
    {
        static_cast<Thread *>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_;
};

// Runs the modal dialog titled `title` that `modal` opens on this thread,
// while `user` acts on it from another; false when it never came up.
inline bool RunDialogWith(const wchar_t *title, const std::function<void()> &modal,
                          const std::function<void(HWND)> &user)
{
    bool seen = false;
    Thread driver([&] {
        HWND dialog = AwaitDialog(title);
        if (dialog == nullptr)
            return;
        seen = true;
        user(dialog);
    });
    modal();
    driver.Join();
    return seen;
}

// --- settings as the registry holds them ----------------------------------

inline constexpr const char *kSettingsKey = "Software\\WQN_Ltd.\\Kelvara\\Settings";

inline void ClearSettings() { ::RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey); }

struct StoredValue {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const StoredValue &) const = default;
};

// The values of the settings key, by name.
inline std::vector<StoredValue> StoredSettings()
{
    std::vector<StoredValue> values;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[1024];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (::RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        values.push_back({std::string(name, nameSize), type, std::vector<BYTE>(data, data + dataSize)});
    }
    ::RegCloseKey(key);
    std::sort(values.begin(), values.end(), [](const StoredValue &a, const StoredValue &b) { return a.name < b.name; });
    return values;
}

inline StoredValue Dword(const std::string &name, int value)
{
    const DWORD v = DWORD(value);
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&v);
    return {name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof v)};
}

inline void StoreDword(const std::string &name, int value)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD v = DWORD(value);
    ::RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), sizeof v);
    ::RegCloseKey(key);
}

// --- pictures of the screen -------------------------------------------------

// Lets every window of the process paint, then has the screen saved as
// NAME.png in the directory WQN_SCREENSHOTS names (a Linux path; the X
// screen is saved by scripts/wine-tests.sh, which answers NAME.request files
// there). Messages of this thread are dispatched while it waits. Without
// WQN_SCREENSHOTS nothing is saved; a request nobody answers fails the test.
inline void Screenshot(const std::string &name)
{
    const char *directory = std::getenv("WQN_SCREENSHOTS");
    if (directory == nullptr || *directory == '\0')
        return;
    ::EnumWindows(
        [](HWND window, LPARAM) -> BOOL {
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            if (process == ::GetCurrentProcessId())
                ::RedrawWindow(window, nullptr, nullptr,
                               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
            return TRUE;
        },
        0);
    std::string dos = std::string("Z:") + directory;
    for (char &c : dos)
        c = c == '/' ? '\\' : c;
    const std::filesystem::path request = std::filesystem::path(dos) / (name + ".request");
    const auto settle = [] {
        for (int i = 0; i < 15; ++i) {
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            ::Sleep(20);
        }
    };
    settle();
    {
        std::ofstream(request.string()) << name << '\n';
    }
    for (int waited = 0; waited < 30000 && std::filesystem::exists(request); waited += 300)
        settle();
    EXPECT_FALSE(std::filesystem::exists(request)) << "nobody saved the screen for " << name;
}

} // namespace kelvara::win32_test
