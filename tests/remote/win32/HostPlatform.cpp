// The host programs on Windows: the registry, LoadLibrary, Win32 threads,
// and the commands only Windows has:
//   post COMMAND...     posts a window message to this thread; when the
//                       library's message pump dispatches it, COMMAND runs
//                       inside it and "event posted <answer>" reports the
//                       result (a host application's window procedure
//                       calling back into the library)
//   watch-box ID        a thread waits for the next message box of this
//                       process, reads it and presses the button ID
//   watch-result        -> seen (0 or 1), caption, text, topmost (0 or 1),
//                          then "id:text" for each button, texts in UTF-8
#include "tests/remote/HostPlatform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace wqn::host::platform {
namespace {

constexpr const char *kSettingsKey = "Software\\WQN_Ltd.\\Kelvara\\Settings";
constexpr UINT kRunPosted = WM_APP + 1;

Host *g_host = nullptr;

class Key {
public:
    ~Key()
    {
        if (key_ != nullptr)
            ::RegCloseKey(key_);
    }
    HKEY *Out() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::string Utf8(const std::wstring &wide)
{
    if (wide.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(std::size_t(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024] = {};
    ::GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

void Store(const std::string &name, DWORD type, const void *data, DWORD size)
{
    Key key;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Out(), nullptr) !=
        ERROR_SUCCESS)
        throw CommandError("cannot create the settings key");
    if (::RegSetValueExA(key.Get(), name.c_str(), 0, type, static_cast<const BYTE *>(data), size) != ERROR_SUCCESS)
        throw CommandError("cannot store " + name);
}

// --- posted messages ------------------------------------------------------

std::deque<Tokens> g_posted;

LRESULT CALLBACK PostedProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kRunPosted && !g_posted.empty()) {
        const Tokens command = g_posted.front();
        g_posted.pop_front();
        Tokens answer = g_host->Execute(command);
        answer.insert(answer.begin(), "posted");
        g_host->Event(answer);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

HWND PostWindow()
{
    static HWND window = nullptr;
    if (window == nullptr) {
        WNDCLASSA cls{};
        cls.lpfnWndProc = &PostedProc;
        cls.hInstance = ::GetModuleHandleA(nullptr);
        cls.lpszClassName = "WqnHostPosted";
        ::RegisterClassA(&cls);
        window =
            ::CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance, nullptr);
        if (window == nullptr)
            throw CommandError("cannot create the message window");
    }
    return window;
}

// --- the message box watcher ------------------------------------------------

struct SeenBox {
    bool seen = false;
    std::wstring caption;
    std::wstring text;
    bool topmost = false;
    std::vector<std::pair<int, std::wstring>> buttons;
};

struct Watch {
    int press = IDCANCEL;
    SeenBox box;
    HANDLE thread = nullptr;
};

Watch g_watch;

BOOL CALLBACK CountButton(HWND child, LPARAM count)
{
    if (ClassName(child) == L"Button")
        ++*reinterpret_cast<int *>(count);
    return TRUE;
}

// A visible dialog window of this process with buttons: a message box (the
// library's notice window is a dialog too, but has none).
BOOL CALLBACK FindBox(HWND window, LPARAM found)
{
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    int buttons = 0;
    if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) && ClassName(window) == L"#32770")
        ::EnumChildWindows(window, &CountButton, reinterpret_cast<LPARAM>(&buttons));
    if (buttons > 0) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK ReadButton(HWND child, LPARAM box)
{
    if (ClassName(child) == L"Button")
        reinterpret_cast<SeenBox *>(box)->buttons.emplace_back(::GetDlgCtrlID(child), WindowText(child));
    return TRUE;
}

DWORD WINAPI WatchForBox(LPVOID)
{
    for (int waited = 0; waited < 60000; waited += 20) {
        HWND box = nullptr;
        ::EnumWindows(&FindBox, reinterpret_cast<LPARAM>(&box));
        if (box != nullptr) {
            ::Sleep(200); // let it finish laying out its controls
            SeenBox &seen = g_watch.box;
            seen.seen = true;
            seen.caption = WindowText(box);
            wchar_t text[4096] = {};
            ::GetDlgItemTextW(box, 0xFFFF, text, 4096); // the text of every message box
            seen.text = text;
            seen.topmost = (::GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
            ::EnumChildWindows(box, &ReadButton, reinterpret_cast<LPARAM>(&seen));
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(g_watch.press, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(box, g_watch.press)));
            return 0;
        }
        ::Sleep(20);
    }
    return 1;
}

} // namespace

void Init()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

Tokens DumpSettings()
{
    Tokens dump;
    Key key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return dump;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (::RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        dump.push_back(name);
        if (type == REG_DWORD && dataSize == 4) {
            DWORD value = 0;
            std::memcpy(&value, data, 4);
            dump.push_back("dword");
            dump.push_back(std::to_string(static_cast<int>(value)));
        } else if (type == REG_SZ) {
            dump.push_back("sz");
            dump.push_back(std::string(reinterpret_cast<const char *>(data),
                                       strnlen(reinterpret_cast<const char *>(data), dataSize)));
        } else {
            dump.push_back("type" + std::to_string(type));
            dump.push_back(ToHex(data, dataSize));
        }
    }
    return dump;
}

void ClearSettings() { ::RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey); }

void StoreSettingInt(const std::string &name, long value)
{
    const DWORD v = static_cast<DWORD>(value);
    Store(name, REG_DWORD, &v, sizeof v);
}

void StoreSettingText(const std::string &name, const std::string &value)
{
    Store(name, REG_SZ, value.c_str(), DWORD(value.size() + 1));
}

std::string CodePage() { return std::to_string(::GetACP()); }

void SetEnvironment(const std::string &name, const std::string &value)
{
    ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    _putenv_s(name.c_str(), value.c_str());
}

char PathSeparator() { return '\\'; }

void RunTogether(const std::function<void()> &a, const std::function<void()> &b)
{
    const HANDLE thread = ::CreateThread(
        nullptr, 0,
        [](LPVOID body) -> DWORD {
            (*static_cast<const std::function<void()> *>(body))();
            return 0;
        },
        const_cast<std::function<void()> *>(&a), 0, nullptr);
    if (thread == nullptr)
        throw CommandError("cannot start a thread");
    b();
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

void *LoadLibraryFile(const std::string &name) { return reinterpret_cast<void *>(::LoadLibraryA(name.c_str())); }

void *LibrarySymbol(void *library, const char *name)
{
    return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

bool FreeLibraryHandle(void *library) { return ::FreeLibrary(static_cast<HMODULE>(library)) != 0; }
bool LibraryLoaded(const std::string &name) { return ::GetModuleHandleA(name.c_str()) != nullptr; }
long long NowMs() { return static_cast<long long>(::GetTickCount()); }

void AddPlatformCommands(Host &host)
{
    g_host = &host;
    host.Add("post", [](const Tokens &args) {
        if (args.empty())
            throw CommandError("post what?");
        const HWND window = PostWindow();
        g_posted.push_back(args);
        ::PostMessageA(window, kRunPosted, 0, 0);
        return Tokens{};
    });
    host.Add("watch-box", [](const Tokens &args) {
        if (g_watch.thread != nullptr)
            throw CommandError("already watching");
        g_watch = Watch{};
        g_watch.press = int(Host::Number(args, 0));
        g_watch.thread = ::CreateThread(nullptr, 0, &WatchForBox, nullptr, 0, nullptr);
        if (g_watch.thread == nullptr)
            throw CommandError("cannot start the watcher");
        return Tokens{};
    });
    host.Add("watch-result", [](const Tokens &) {
        if (g_watch.thread == nullptr)
            throw CommandError("not watching");
        ::WaitForSingleObject(g_watch.thread, 60000);
        ::CloseHandle(g_watch.thread);
        g_watch.thread = nullptr;
        const SeenBox &box = g_watch.box;
        Tokens result{box.seen ? "1" : "0", Utf8(box.caption), Utf8(box.text), box.topmost ? "1" : "0"};
        for (const auto &[id, text] : box.buttons)
            result.push_back(std::to_string(id) + ":" + Utf8(text));
        return result;
    });
}

} // namespace wqn::host::platform
