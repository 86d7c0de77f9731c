// Kelvara.dll's windows on the screen of a Wine desktop, as a host program
// meets them: the connection notice while TS_CheckKelvara searches for a
// reader, the progress notice of the Java methods, and the settings dialog
// of TS_SetPortSpeed and of Java's SetPortSpeed, all made from the DLL's own
// resources. Every control is read back through Win32 (id, class, text,
// style, place in dialog units, font, list items, selection, enabled
// state), the owner window's enabled state is watched, and the settings are
// read from the registry. The Chinese texts must have glyphs in the fonts
// the windows use (not boxes), and each window is photographed
// (WindowTestSupport.h: Screenshot).
#include "kelvara.h"
#include "kelvara/api/JavaExports.h"
#include "kelvara/ui/DialogResources.h"
#include "tests/api/FakeJvm.h"
#include "tests/platform/win32/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace kelvara::win32_test {
namespace {

using jni_test::FakeJvm;

constexpr const wchar_t *kNoticeTitle = L"提示";
constexpr const wchar_t *kSettingsTitle = L"设置读卡器接口";
constexpr std::array<const wchar_t *, 6> kConnectionTexts = {
    L"正在连接读卡器\r\n请稍候...",      L"正在连接Wqn读卡器\r\n请稍候...", L"正在连接GC481读卡器\r\n请稍候...",
    L"正在连接MCS-C读卡器\r\n请稍候...", L"正在连接GC481,com口:",           L"正在连接MCS-C,com口:"};

// No box waits for a user: every question is answered with Cancel, and the
// boxes are counted.
int g_boxes = 0;
int CancelEveryBox(void *, const char *, const char *, unsigned type)
{
    ++g_boxes;
    return (type & 0xF) == 0 ? IDOK : IDCANCEL;
}

class OnScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearSettings();
        g_boxes = 0;
        KelvaraSetMessageBoxHandler(&CancelEveryBox, nullptr);
        ASSERT_NE(host.main, nullptr);
    }
    void TearDown() override { KelvaraSetMessageBoxHandler(nullptr, nullptr); }

    HostWindow host;
};

// A dialog's frame as its template gives it: these style bits, its client
// area in dialog units, its font.
void ExpectDialogFrame(HWND dialog, std::initializer_list<DWORD> styleBits, int width, int height, const wchar_t *face,
                       int points)
{
    const DWORD style = DWORD(::GetWindowLongW(dialog, GWL_STYLE));
    for (DWORD bit : styleBits)
        EXPECT_EQ(style & bit, bit) << std::hex << "style " << style << " lacks " << bit;
    RECT client{};
    ::GetClientRect(dialog, &client);
    const RECT size = DialogUnits(dialog, 0, 0, width, height);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    const LOGFONTW font = FontOf(dialog);
    EXPECT_STREQ(font.lfFaceName, face);
    EXPECT_EQ(font.lfHeight, PointsHeight(points));
}

// What a notice window of template 136 must look like, whoever shows it.
void ExpectNoticeWindow(HWND notice)
{
    ExpectDialogFrame(notice, {WS_POPUP, WS_VISIBLE, WS_CAPTION, DS_MODALFRAME, DS_SETFOREGROUND}, 156, 32,
                      L"Microsoft Sans Serif", 10);
    EXPECT_EQ(::GetWindowLongW(notice, GWL_STYLE) & WS_SYSMENU, 0) << "the user could close the notice";

    const std::vector<HWND> controls = Children(notice);
    ASSERT_EQ(controls.size(), 1u);
    HWND text = controls[0];
    EXPECT_EQ(::GetDlgCtrlID(text), KELVARA_IDC_NOTICE_TEXT);
    EXPECT_EQ(ClassName(text), L"Static");
    const LONG textStyle = ::GetWindowLongW(text, GWL_STYLE);
    EXPECT_EQ(textStyle & SS_TYPEMASK, SS_LEFT);
    EXPECT_EQ(textStyle & (WS_VISIBLE | WS_GROUP), LONG(WS_VISIBLE | WS_GROUP));
    const RECT place = PlaceInDialog(text);
    const RECT want = DialogUnits(notice, 7, 7, 142, 18);
    EXPECT_TRUE(::EqualRect(&place, &want))
        << place.left << "," << place.top << " " << place.right << "," << place.bottom;
    // The Chinese texts are drawn as characters: the fonts have their glyphs.
    EXPECT_EQ(MissingGlyphs(reinterpret_cast<HFONT>(::SendMessageW(text, WM_GETFONT, 0, 0)), WindowText(text)), 0)
        << Utf8(WindowText(text));
    EXPECT_EQ(MissingCaptionGlyphs(kNoticeTitle), 0);
}

bool IsConnectionText(const std::wstring &text)
{
    for (const wchar_t *known : kConnectionTexts) {
        if (text.rfind(known, 0) == 0)
            return true;
    }
    return false;
}

TEST_F(OnScreen, ConnectionNoticeStandsOverTheDisabledMainWindowWhileTheReaderSearchRuns)
{
    struct Seen {
        std::vector<HWND> notices;
        HWND owner = nullptr;
        bool mainEnabled = true;
        std::wstring text;
    } seen;
    host.onPosted = [&] {
        seen.notices = Dialogs(kNoticeTitle);
        seen.mainEnabled = ::IsWindowEnabled(host.main) != FALSE;
        if (seen.notices.size() != 1)
            return;
        HWND notice = seen.notices[0];
        seen.owner = ::GetWindow(notice, GW_OWNER);
        seen.text = ControlText(notice, KELVARA_IDC_NOTICE_TEXT);
        ExpectNoticeWindow(notice);
        Screenshot("connection-notice");
    };
    // Runs from the library's message pump between its connection attempts.
    host.Post();
    EXPECT_EQ(TS_CheckKelvara(), -1); // no reader anywhere; the retry question cancelled
    EXPECT_EQ(host.postedRuns, 1) << "the library pumped no messages while it searched";
    ASSERT_EQ(seen.notices.size(), 1u);
    EXPECT_EQ(seen.owner, host.main);
    EXPECT_FALSE(seen.mainEnabled);
    EXPECT_TRUE(IsConnectionText(seen.text)) << Utf8(seen.text);
    // Taken down, and the main window given back, whatever the result.
    EXPECT_TRUE(Dialogs(kNoticeTitle).empty());
    EXPECT_TRUE(::IsWindowEnabled(host.main));
    EXPECT_EQ(g_boxes, 1);
    TS_ReleaseKelvara();
}

TEST_F(OnScreen, ProgressNoticeShowsTheJavaProgramsChineseTextAndBothNoticesCanStandTogether)
{
    FakeJvm jvm;
    Java_wqn_vorn_icnative_NativeClass_ShowPro(jvm.Env(), nullptr, jvm.String("正在读卡\r\n请稍候..."));
    const std::vector<HWND> shown = Dialogs(kNoticeTitle);
    ASSERT_EQ(shown.size(), 1u);
    HWND progress = shown[0];
    EXPECT_EQ(ControlText(progress, KELVARA_IDC_NOTICE_TEXT), L"正在读卡\r\n请稍候...");
    EXPECT_EQ(::GetWindow(progress, GW_OWNER), host.main);
    EXPECT_FALSE(::IsWindowEnabled(host.main));
    ExpectNoticeWindow(progress);
    Screenshot("progress-notice");

    Java_wqn_vorn_icnative_NativeClass_SetText(jvm.Env(), nullptr, jvm.String("正在写卡"));
    EXPECT_EQ(ControlText(progress, KELVARA_IDC_NOTICE_TEXT), L"正在写卡");

    // The reader search while the progress notice stands: two notices, and
    // the main window, disabled by the progress notice, stays so after it.
    std::size_t together = 0;
    host.onPosted = [&] { together = Dialogs(kNoticeTitle).size(); };
    host.Post();
    EXPECT_EQ(TS_CheckKelvara(), -1);
    EXPECT_EQ(together, 2u);
    EXPECT_EQ(Dialogs(kNoticeTitle), shown);
    EXPECT_FALSE(::IsWindowEnabled(host.main));

    Java_wqn_vorn_icnative_NativeClass_HidePro(jvm.Env(), nullptr);
    EXPECT_TRUE(Dialogs(kNoticeTitle).empty());
    EXPECT_TRUE(::IsWindowEnabled(host.main));
    EXPECT_EQ(jvm.strayCalls, 0);
    EXPECT_EQ(jvm.Outstanding(), 0u);
    TS_ReleaseKelvara();
}

// One control of template 138 as the table gives it: id, class, text, style
// bits, place (for a combo box with a drop-down list only where it starts
// and its width: its height is that of the closed box). A combo box hands
// its scroll bar style on to its list, which drops it while every item fits;
// that bit is checked in the compiled resource (tests/ui).
struct ControlLayout {
    int id;
    const wchar_t *className;
    const wchar_t *text;
    LONG style;
    LONG styleMask;
    RECT units; // x, y, width, height
    bool closedHeight;
};

const ControlLayout kSettingsControls[] = {
    {-1, L"Static", L"读卡器：", SS_LEFT | WS_GROUP, SS_TYPEMASK | WS_GROUP, {9, 12, 39, 11}, false},
    {KELVARA_IDC_READER_LIST,
     L"ComboBox",
     nullptr,
     CBS_DROPDOWN | WS_TABSTOP,
     0x3 | WS_TABSTOP,
     {42, 12, 87, 68},
     true},
    {-1, L"Static", L"最大速率(bps):", SS_LEFT, SS_TYPEMASK | WS_GROUP, {9, 33, 54, 8}, false},
    {KELVARA_IDC_SPEED_LIST, L"ComboBox", nullptr, CBS_SIMPLE | WS_TABSTOP, 0x3 | WS_TABSTOP, {9, 47, 53, 77}, false},
    {KELVARA_IDC_PORT_LIST, L"ComboBox", nullptr, CBS_SIMPLE | WS_TABSTOP, 0x3 | WS_TABSTOP, {67, 47, 61, 73}, false},
    {IDOK,
     L"Button",
     L"确认",
     BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP,
     BS_TYPEMASK | WS_TABSTOP | WS_GROUP,
     {137, 85, 32, 14},
     false},
    {IDCANCEL,
     L"Button",
     L"取消",
     BS_PUSHBUTTON | WS_TABSTOP,
     BS_TYPEMASK | WS_TABSTOP | WS_GROUP,
     {137, 104, 32, 14},
     false},
};

void ExpectSettingsWindow(HWND dialog)
{
    ExpectDialogFrame(dialog, {WS_POPUP, WS_CAPTION, WS_SYSMENU, DS_MODALFRAME, DS_SYSMODAL}, 182, 131,
                      L"MS Sans Serif", 10);

    const std::vector<HWND> controls = Children(dialog);
    ASSERT_EQ(controls.size(), std::size(kSettingsControls));
    std::wstring texts;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlLayout &want = kSettingsControls[i];
        HWND control = controls[i];
        SCOPED_TRACE("control " + std::to_string(i));
        EXPECT_EQ(::GetDlgCtrlID(control), want.id == -1 ? 0xFFFF : want.id);
        EXPECT_EQ(ClassName(control), want.className);
        if (want.text != nullptr) {
            EXPECT_EQ(WindowText(control), want.text);
            texts += want.text;
        }
        EXPECT_EQ(::GetWindowLongW(control, GWL_STYLE) & (want.styleMask | WS_VISIBLE), want.style | WS_VISIBLE);
        const RECT place = PlaceInDialog(control);
        const RECT units = DialogUnits(dialog, want.units.left, want.units.top, want.units.right, want.units.bottom);
        EXPECT_EQ(place.left, units.left);
        EXPECT_EQ(place.top, units.top);
        EXPECT_EQ(place.right, units.right);
        if (want.closedHeight)
            EXPECT_LT(place.bottom, units.bottom);
        else if (want.id == KELVARA_IDC_SPEED_LIST || want.id == KELVARA_IDC_PORT_LIST)
            EXPECT_LE(place.bottom, units.bottom); // the list keeps whole lines
        else
            EXPECT_EQ(place.bottom, units.bottom);
    }
    EXPECT_EQ(Items(::GetDlgItem(dialog, KELVARA_IDC_READER_LIST)),
              (std::vector<std::string>{"MCS-C", "WQN", "GC481", "USB_V626"}));
    EXPECT_EQ(Items(::GetDlgItem(dialog, KELVARA_IDC_SPEED_LIST)),
              (std::vector<std::string>{"4800", "9600", "14400", "19200", "38400", "57600", "115200"}));
    EXPECT_EQ(Items(::GetDlgItem(dialog, KELVARA_IDC_PORT_LIST)),
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}));
    EXPECT_EQ(MissingGlyphs(reinterpret_cast<HFONT>(::SendMessageW(dialog, WM_GETFONT, 0, 0)), texts), 0);
    EXPECT_EQ(MissingCaptionGlyphs(kSettingsTitle), 0);
}

struct ListState {
    int selection;
    bool enabled;
    bool operator==(const ListState &) const = default;
};

std::array<ListState, 3> Lists(HWND dialog)
{
    std::array<ListState, 3> lists{};
    const int ids[] = {KELVARA_IDC_READER_LIST, KELVARA_IDC_SPEED_LIST, KELVARA_IDC_PORT_LIST};
    for (std::size_t i = 0; i < 3; ++i) {
        HWND list = ::GetDlgItem(dialog, ids[i]);
        lists[i] = {Selection(list), ::IsWindowEnabled(list) != FALSE};
    }
    return lists;
}

// The user picks `index` in a list; the reader list's drop-down closing is
// a separate step (CloseUp).
void Pick(HWND dialog, int id, int index)
{
    HWND list = ::GetDlgItem(dialog, id);
    ::SendMessageW(list, CB_SETCURSEL, WPARAM(index), 0);
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(list));
}

void CloseUp(HWND dialog)
{
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(KELVARA_IDC_READER_LIST, CBN_CLOSEUP),
                   LPARAM(::GetDlgItem(dialog, KELVARA_IDC_READER_LIST)));
}

void Press(HWND dialog, int button) { ::SendMessageW(::GetDlgItem(dialog, button), BM_CLICK, 0, 0); }

TEST_F(OnScreen, SettingsDialogOfTsSetPortSpeedIsModalOverTheMainWindowAndOkStoresTheFourValues)
{
    HWND owner = nullptr;
    bool mainEnabled = true;
    std::array<ListState, 3> opened{}, afterArrowKeys{}, afterCloseUp{};
    const bool seen = RunDialogWith(
        kSettingsTitle, [] { TS_SetPortSpeed(0); },
        [&](HWND dialog) {
            owner = ::GetWindow(dialog, GW_OWNER);
            mainEnabled = ::IsWindowEnabled(host.main) != FALSE;
            ExpectSettingsWindow(dialog);
            opened = Lists(dialog);
            Screenshot("settings-dialog");
            // The USB reader chosen with the arrow keys while the list is
            // closed changes nothing until the drop-down list closes.
            Pick(dialog, KELVARA_IDC_READER_LIST, 3);
            afterArrowKeys = Lists(dialog);
            CloseUp(dialog);
            afterCloseUp = Lists(dialog);
            Pick(dialog, KELVARA_IDC_SPEED_LIST, 2);
            Pick(dialog, KELVARA_IDC_PORT_LIST, 3);
            Press(dialog, IDOK);
        });
    ASSERT_TRUE(seen) << "the dialog did not come up";
    EXPECT_EQ(owner, host.main);
    EXPECT_FALSE(mainEnabled);
    EXPECT_TRUE(::IsWindowEnabled(host.main));
    // No settings yet: MCS-C, 115200 and COM1, both lists enabled.
    EXPECT_EQ(opened, (std::array<ListState, 3>{{{0, true}, {6, true}, {0, true}}}));
    EXPECT_EQ(afterArrowKeys, (std::array<ListState, 3>{{{3, true}, {6, true}, {0, true}}}));
    EXPECT_EQ(afterCloseUp, (std::array<ListState, 3>{{{3, true}, {6, false}, {0, false}}}));
    // The disabled lists' selections are stored all the same.
    EXPECT_EQ(StoredSettings(),
              (std::vector<StoredValue>{Dword("BaudRateIndex", 2), Dword("BaudRateMax", 2), Dword("ComPortID", 3),
                                        Dword("PortMode", 3)}));
    EXPECT_EQ(g_boxes, 0);
}

TEST_F(OnScreen, StoredUsbReaderOpensWithTheListsDisabledAndCancelStoresNothing)
{
    StoreDword("PortMode", 3);
    StoreDword("BaudRateIndex", 1);
    StoreDword("ComPortID", 2);
    const std::vector<StoredValue> before = StoredSettings();
    std::array<ListState, 3> opened{}, changed{};
    const bool seen = RunDialogWith(
        kSettingsTitle, [] { TS_SetPortSpeed(0); },
        [&](HWND dialog) {
            opened = Lists(dialog);
            Pick(dialog, KELVARA_IDC_READER_LIST, 1);
            CloseUp(dialog);
            Pick(dialog, KELVARA_IDC_SPEED_LIST, 4);
            changed = Lists(dialog);
            Press(dialog, IDCANCEL);
        });
    ASSERT_TRUE(seen) << "the dialog did not come up";
    EXPECT_EQ(opened, (std::array<ListState, 3>{{{3, true}, {1, false}, {2, false}}}));
    EXPECT_EQ(changed, (std::array<ListState, 3>{{{1, true}, {4, true}, {2, true}}}));
    EXPECT_EQ(StoredSettings(), before);
}

TEST_F(OnScreen, JavasSettingsDialogHasNoOwnerAndOkWithoutAReaderStoresMinusOne)
{
    FakeJvm jvm;
    HWND owner = host.main;
    bool mainEnabled = false;
    const bool seen = RunDialogWith(
        kSettingsTitle, [&] { Java_wqn_vorn_icnative_NativeClass_SetPortSpeed(jvm.Env(), nullptr); },
        [&](HWND dialog) {
            owner = ::GetWindow(dialog, GW_OWNER);
            mainEnabled = ::IsWindowEnabled(host.main) != FALSE;
            Pick(dialog, KELVARA_IDC_READER_LIST, -1);
            Press(dialog, IDOK);
        });
    ASSERT_TRUE(seen) << "the dialog did not come up";
    EXPECT_EQ(owner, nullptr);
    EXPECT_TRUE(mainEnabled);
    EXPECT_EQ(StoredSettings(),
              (std::vector<StoredValue>{Dword("BaudRateIndex", 6), Dword("BaudRateMax", 6), Dword("ComPortID", 0),
                                        Dword("PortMode", -1)}));
    EXPECT_EQ(jvm.strayCalls, 0);
}

} // namespace
} // namespace kelvara::win32_test
