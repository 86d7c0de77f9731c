// The Windows views of the host bindings, run under Wine: the notice window
// from resource 136 over the host's main window (found by its title), the
// settings dialog from resource 138 with its lists from the initialisation
// data and the close-up rule, and the process check on real processes
// through both the psapi and the tool-help branch.
#include "common/win32/WindowsHeaders.h"
#include "kelvara/HostWindowTitle.h"
#include "kelvara/app/CardApp.h"
#include "kelvara/app/ProcessCheck.h"
#include "kelvara/platform/win32/ProcessBranches.h"
#include "kelvara/services/CodePageText.h"
#include "kelvara/services/MessageBox.h"
#include "kelvara/services/Settings.h"
#include "kelvara/ui/DialogResources.h"
#include "kelvara/ui/NoticeDialog.h"
#include "kelvara/ui/ReaderSettingsDialog.h"
#include "tests/platform/win32/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kelvara {
namespace {

using namespace win32_test;

TEST(NoticeWindow, ShownOverTheHostsMainWindowWhichItKeepsDisabled)
{
    HostWindow host;
    ASSERT_NE(host.main, nullptr);
    ASSERT_EQ(HostMainWindow(), host.main);
    NoticeDialog notice(NoticeKind::Connection);
    ASSERT_TRUE(notice.ShowNotice(nullptr));
    EXPECT_EQ(notice.Owner(), host.main);
    EXPECT_FALSE(::IsWindowEnabled(host.main));
    HWND window = FindDialog(L"提示");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(::IsWindowVisible(window));
    EXPECT_EQ(::GetWindow(window, GW_OWNER), host.main);
    EXPECT_EQ(::GetWindowLongW(window, GWL_STYLE) & WS_SYSMENU, 0); // no close box
    notice.SetNoticeText("正在连接读卡器\r\n请稍候...");
    EXPECT_EQ(ControlText(window, KELVARA_IDC_NOTICE_TEXT), L"正在连接读卡器\r\n请稍候...");
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_TRUE(::IsWindowEnabled(host.main));
}

TEST(NoticeWindow, ParentsOwnerIsItsTopLevelWindowAndADisabledOneStaysDisabled)
{
    HostWindow host;
    ::EnableWindow(host.main, FALSE);
    NoticeDialog notice(NoticeKind::Connection);
    ASSERT_TRUE(notice.ShowNotice(host.child));
    EXPECT_EQ(notice.Owner(), host.main);
    EXPECT_FALSE(notice.OwnerDisabled());
    EXPECT_TRUE(notice.HideNotice());
    EXPECT_FALSE(::IsWindowEnabled(host.main));
}

TEST(NoticeWindow, ProgressTextTravelsInTheSystemCodePage)
{
    ASSERT_EQ(::GetACP(), 936u) << "run under a Chinese locale (LC_ALL=zh_CN.UTF-8)";
    const std::string converted = CodePageFromUtf8("正在读卡");
    EXPECT_EQ(converted, "\xD5\xFD\xD4\xDA\xB6\xC1\xBF\xA8"); // the same text in code page 936
    CardApp app;
    app.ShowProgress(converted);
    HWND window = FindDialog(L"提示");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ControlText(window, KELVARA_IDC_NOTICE_TEXT), L"正在读卡");
    app.HideProgress();
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(app.ProgressNotice(), nullptr);
}

TEST(NoticeWindow, TheHostsWindowIsDisabledWhileTheReaderSearchRunsAndEnabledAfter)
{
    HostWindow host;
    struct Seen {
        HWND host;
        std::vector<std::string> events;
    } seen{host.main, {}};
    SetNoticeHandler(
        [](void *ctx, int op, const char *text) {
            auto &s = *static_cast<Seen *>(ctx);
            s.events.push_back(std::to_string(op) + (::IsWindowEnabled(s.host) ? " enabled " : " disabled ") + text);
        },
        &seen);
    SetMessageBoxHandler([](void *, const char *, const char *, unsigned) { return 2; }, nullptr);
    {
        CardApp app;
        EXPECT_FALSE(app.CheckReader()); // no reader anywhere; the retry prompt is cancelled
    }
    SetNoticeHandler(nullptr, nullptr);
    SetMessageBoxHandler(nullptr, nullptr);
    ASSERT_GE(seen.events.size(), 3u);
    EXPECT_EQ(seen.events.front(), "0 disabled ");
    EXPECT_EQ(seen.events[1], "1 disabled 正在连接读卡器\r\n请稍候...");
    EXPECT_EQ(seen.events.back(), "2 enabled "); // enabled again before the window goes
    EXPECT_TRUE(::IsWindowEnabled(host.main));
}

// --- the settings dialog --------------------------------------------------

// Runs the settings dialog modally while `user` acts on it from another
// thread.
int RunDialogWith(const std::function<void(HWND)> &user)
{
    ReaderSettingsDialog model;
    int result = 0;
    EXPECT_TRUE(win32_test::RunDialogWith(
        L"设置读卡器接口", [&] { result = RunPlatformSettingsDialog(model, nullptr); }, user))
        << "the dialog did not come up";
    return result;
}

template <class Items>
std::vector<std::string> Strings(const Items &items)
{
    return std::vector<std::string>(items.begin(), items.end());
}

TEST(SettingsDialog, ListsComeFromTheResourceAndOkStoresWhatTheControlsShow)
{
    ClearSettings();
    const int result = RunDialogWith([](HWND dialog) {
        HWND reader = ::GetDlgItem(dialog, KELVARA_IDC_READER_LIST);
        HWND speed = ::GetDlgItem(dialog, KELVARA_IDC_SPEED_LIST);
        HWND port = ::GetDlgItem(dialog, KELVARA_IDC_PORT_LIST);
        EXPECT_EQ(Items(reader), Strings(ReaderSettingsDialog::kReaders));
        EXPECT_EQ(Items(speed), Strings(ReaderSettingsDialog::SpeedItems()));
        EXPECT_EQ(Items(port), Strings(ReaderSettingsDialog::kPorts));
        EXPECT_EQ(Selection(reader), 0);
        EXPECT_EQ(Selection(speed), 6);
        EXPECT_EQ(Selection(port), 0);
        EXPECT_TRUE(::IsWindowEnabled(speed));
        EXPECT_TRUE(::IsWindowEnabled(port));

        // The USB reader chosen with the arrow keys while the list is closed:
        // nothing is disabled until the drop-down list closes.
        ::SendMessageW(reader, CB_SETCURSEL, 3, 0);
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(KELVARA_IDC_READER_LIST, CBN_SELCHANGE), LPARAM(reader));
        EXPECT_TRUE(::IsWindowEnabled(speed));
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(KELVARA_IDC_READER_LIST, CBN_CLOSEUP), LPARAM(reader));
        EXPECT_FALSE(::IsWindowEnabled(speed));
        EXPECT_FALSE(::IsWindowEnabled(port));

        ::SendMessageW(speed, CB_SETCURSEL, 2, 0);
        ::SendMessageW(port, CB_SETCURSEL, 3, 0);
        ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(ReadSettingInt(setting::kPortMode, -9), 3);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateMax, -9), 2);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateIndex, -9), 2);
    EXPECT_EQ(ReadSettingInt(setting::kComPortID, -9), 3);
}

TEST(SettingsDialog, StoredUsbReaderOpensWithTheListsDisabledAndCancelStoresNothing)
{
    ClearSettings();
    WriteSettingInt(setting::kPortMode, 3);
    const int result = RunDialogWith([](HWND dialog) {
        HWND reader = ::GetDlgItem(dialog, KELVARA_IDC_READER_LIST);
        EXPECT_EQ(Selection(reader), 3);
        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, KELVARA_IDC_SPEED_LIST)));
        const LONG style = ::GetWindowLongW(dialog, GWL_STYLE);
        EXPECT_NE(style & WS_SYSMENU, 0);
        ::SendMessageW(reader, CB_SETCURSEL, 1, 0);
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(KELVARA_IDC_READER_LIST, CBN_CLOSEUP), LPARAM(reader));
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, KELVARA_IDC_SPEED_LIST)));
        ::SendMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(ReadSettingInt(setting::kPortMode, -9), 3);
    EXPECT_EQ(ReadSettingInt(setting::kBaudRateMax, -9), -9);
}

// --- the process check -------------------------------------------------

class Probes {
public:
    explicit Probes(std::string name)
        : name_(std::move(name))
    {
        wchar_t self[MAX_PATH] = L"";
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::filesystem::path dir = std::filesystem::path(self).parent_path();
        path_ = std::filesystem::temp_directory_path() / name_;
        std::filesystem::copy_file(dir / "win32_process_probe.exe", path_,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    ~Probes()
    {
        for (const PROCESS_INFORMATION &p : running_) {
            ::TerminateProcess(p.hProcess, 0);
            ::WaitForSingleObject(p.hProcess, 10000);
            ::CloseHandle(p.hProcess);
            ::CloseHandle(p.hThread);
        }
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    bool Start()
    {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::wstring command = L"\"" + path_.wstring() + L"\"";
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                              &pi))
            return false;
        running_.push_back(pi);
        // Wait until the system lists it under its name.
        for (int i = 0; i < 500; ++i) {
            if (Count(&PsapiProcessImages, SystemSessionOf()) == int(running_.size()))
                return true;
            ::Sleep(20);
        }
        return false;
    }

    int Count(void (*branch)(const ImageVisitor &, SessionOfFn), SessionOfFn sessionOf) const
    {
        int n = 0;
        branch(
            [&](std::string_view image) {
                n += ProcessImageMatches(image, name_) ? 1 : 0;
                return true;
            },
            sessionOf);
        return n;
    }

    const std::string &Name() const { return name_; }
    std::string Path() const { return path_.string(); }

private:
    std::string name_;
    std::filesystem::path path_;
    std::vector<PROCESS_INFORMATION> running_;
};

TEST(ProcessCheckOnWindows, OneCopyIsNotEnoughTwoAreInBothBranches)
{
    Probes probes("kvprobe" + std::to_string(::GetCurrentProcessId()) + ".exe");
    ASSERT_TRUE(probes.Start());
    EXPECT_FALSE(IsProcessRunningTwice(probes.Name()));
    ASSERT_TRUE(probes.Start());
    EXPECT_TRUE(IsProcessRunningTwice(probes.Name()));
    EXPECT_EQ(probes.Count(&PsapiProcessImages, SystemSessionOf()), 2);
    EXPECT_EQ(probes.Count(&ToolHelpProcessImages, SystemSessionOf()), 2);

    std::string upper = probes.Name();
    for (char &c : upper)
        c = char(::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(IsProcessRunningTwice(upper));
    EXPECT_FALSE(IsProcessRunningTwice(probes.Path()));
    EXPECT_FALSE(IsProcessRunningTwice(probes.Name().substr(0, probes.Name().size() - 4)));
}

// Session lookups of a terminal server where the caller runs in session 1.
BOOL WINAPI OthersInSessionTwo(DWORD id, DWORD *session)
{
    *session = id == ::GetCurrentProcessId() ? 1 : 2;
    return TRUE;
}
BOOL WINAPI OthersUnknown(DWORD id, DWORD *session)
{
    *session = 1;
    return id == ::GetCurrentProcessId();
}
BOOL WINAPI AllInSessionOne(DWORD, DWORD *session)
{
    *session = 1;
    return TRUE;
}
BOOL WINAPI NothingKnown(DWORD, DWORD *) { return FALSE; }

TEST(ProcessCheckOnWindows, OnlyProcessesOfTheCallersSessionCount)
{
    Probes probes("kvsession" + std::to_string(::GetCurrentProcessId()) + ".exe");
    ASSERT_TRUE(probes.Start());
    ASSERT_TRUE(probes.Start());
    const struct {
        const char *what;
        SessionOfFn sessionOf;
        int counted;
    } cases[] = {
        {"others in another session", &OthersInSessionTwo, 0},
        {"others' session unknown", &OthersUnknown, 0},
        {"all in the caller's session", &AllInSessionOne, 2},
        {"not even the caller's session known", &NothingKnown, 2},
        {"no session lookup on this system", nullptr, 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(probes.Count(&PsapiProcessImages, c.sessionOf), c.counted) << c.what;
        EXPECT_EQ(probes.Count(&ToolHelpProcessImages, c.sessionOf), c.counted) << c.what;
    }
    EXPECT_NE(SystemSessionOf(), nullptr);
}

std::vector<DWORD> g_system; // the process list of a simulated busy system

BOOL WINAPI BusyEnumProcesses(DWORD *ids, DWORD capacity, DWORD *bytes)
{
    const std::size_t fit = std::min<std::size_t>(capacity / sizeof(DWORD), g_system.size());
    std::copy(g_system.begin(), g_system.begin() + long(fit), ids);
    *bytes = DWORD(fit * sizeof(DWORD));
    return TRUE;
}

TEST(ProcessCheckOnWindows, EveryProcessOfABusySystemIsListed)
{
    for (std::size_t count : {0u, 255u, 256u, 257u, 1000u}) {
        g_system.clear();
        for (std::size_t i = 0; i < count; ++i)
            g_system.push_back(DWORD(4 * i + 4));
        EXPECT_EQ(AllProcessIds(&BusyEnumProcesses), g_system) << count << " processes";
    }
}

} // namespace
} // namespace kelvara
