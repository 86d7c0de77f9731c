// The dialog resources as the resource compiler builds them into
// Kelvara.dll (read back from the compiled resource file): the notice
// window and the settings dialog with every control, and the settings
// lists' items as initialisation data that agree with the dialog's model.
// Also the reading of initialisation data itself.
#include "kelvara/ui/DialogResources.h"
#include "kelvara/ui/DialogInit.h"
#include "kelvara/ui/ReaderSettingsDialog.h"
#include "tests/ui/SettingsFileTest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvara {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- initialisation data ------------------------------------------------------

void Put16(Bytes &b, unsigned v)
{
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}

void PutEntry(Bytes &b, unsigned control, unsigned message, const std::string &text)
{
    Put16(b, control);
    Put16(b, message);
    Put16(b, unsigned(text.size() + 1));
    Put16(b, 0);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
}

TEST(DialogInit, EntriesArePackedWithoutPaddingAndEndAtAZeroControl)
{
    Bytes data;
    PutEntry(data, 2011, 0x403, "WQN"); // 4 bytes: the next entry starts unaligned
    PutEntry(data, 1026, 0x403, "115200");
    Put16(data, 0);
    PutEntry(data, 2002, 0x403, "after the end");
    const auto entries = ParseDialogInit(data);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].control, 2011);
    EXPECT_EQ(entries[0].message, 0x403);
    EXPECT_EQ(entries[0].text, "WQN");
    EXPECT_EQ(entries[1].control, 1026);
    EXPECT_EQ(entries[1].text, "115200");
}

TEST(DialogInit, TruncatedDataStopsBeforeTheBrokenEntry)
{
    Bytes data;
    PutEntry(data, 2011, 0x403, "MCS-C");
    PutEntry(data, 2011, 0x403, "GC481");
    for (std::size_t cut = 0; cut < data.size(); ++cut) {
        const auto entries = ParseDialogInit(std::span<const std::uint8_t>(data.data(), cut));
        EXPECT_EQ(entries.size(), cut >= 14 ? 1u : 0u) << "cut at " << cut;
    }
    // A length running past the end.
    Bytes lying;
    Put16(lying, 2011);
    Put16(lying, 0x403);
    Put16(lying, 0xFFFF);
    Put16(lying, 0xFFFF);
    lying.push_back('x');
    EXPECT_TRUE(ParseDialogInit(lying).empty());
}

// --- the compiled resources ------------------------------------------------

struct Resource {
    unsigned type = 0;
    unsigned name = 0;
    unsigned language = 0;
    Bytes data;
};

class Reader {
public:
    explicit Reader(const Bytes &bytes, std::size_t at = 0)
        : b_(bytes),
          at_(at)
    {
    }
    bool Has(std::size_t n) const { return at_ + n <= b_.size(); }
    unsigned U16()
    {
        if (!Has(2))
            throw std::runtime_error("past the end");
        const unsigned v = b_[at_] | (b_[at_ + 1] << 8);
        at_ += 2;
        return v;
    }
    int S16() { return std::int16_t(U16()); }
    std::uint32_t U32()
    {
        const std::uint32_t low = U16();
        return low | (std::uint32_t(U16()) << 16);
    }
    // A name or id: 0xFFFF and an ordinal, or a zero-terminated UTF-16 string.
    std::u16string NameOrId(unsigned *ordinal)
    {
        const unsigned first = U16();
        if (first == 0xFFFF) {
            *ordinal = U16();
            return {};
        }
        *ordinal = 0;
        std::u16string s;
        for (unsigned c = first; c != 0; c = U16())
            s.push_back(char16_t(c));
        return s;
    }
    std::u16string String()
    {
        unsigned ignored = 0;
        return NameOrId(&ignored);
    }
    void Align4() { at_ = (at_ + 3) & ~std::size_t(3); }
    std::size_t At() const { return at_; }

private:
    const Bytes &b_;
    std::size_t at_;
};

std::vector<Resource> ReadResFile(const std::string &path)
{
    const std::string text = ui_test::ReadText(path);
    const Bytes bytes(text.begin(), text.end());
    std::vector<Resource> resources;
    std::size_t at = 0;
    while (at + 32 <= bytes.size()) {
        Reader r(bytes, at);
        const std::uint32_t dataSize = r.U32();
        const std::uint32_t headerSize = r.U32();
        Resource res;
        r.NameOrId(&res.type);
        r.NameOrId(&res.name);
        r.Align4();
        r.U32(); // data version
        r.U16(); // memory flags
        res.language = r.U16();
        const std::size_t data = at + headerSize;
        if (data + dataSize > bytes.size())
            break;
        res.data.assign(bytes.begin() + long(data), bytes.begin() + long(data + dataSize));
        if (dataSize > 0)
            resources.push_back(std::move(res));
        at = (data + dataSize + 3) & ~std::size_t(3);
    }
    return resources;
}

struct Control {
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    unsigned kind = 0; // 0x80 button, 0x82 static, 0x85 combo box
    std::u16string text;
};

struct Dialog {
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::u16string title;
    int points = 0;
    std::u16string font;
    std::vector<Control> controls;
};

Dialog ReadDialog(const Bytes &bytes)
{
    Reader r(bytes);
    Dialog d;
    d.style = r.U32();
    r.U32(); // extended style
    const unsigned count = r.U16();
    d.x = r.S16();
    d.y = r.S16();
    d.cx = r.S16();
    d.cy = r.S16();
    r.String(); // menu
    r.String(); // class
    d.title = r.String();
    if ((d.style & 0x40) != 0) { // DS_SETFONT
        d.points = int(r.U16());
        d.font = r.String();
    }
    for (unsigned i = 0; i < count; ++i) {
        r.Align4();
        Control c;
        c.style = r.U32();
        r.U32();
        c.x = r.S16();
        c.y = r.S16();
        c.cx = r.S16();
        c.cy = r.S16();
        c.id = int(r.U16());
        r.NameOrId(&c.kind);
        c.text = r.String();
        r.U16(); // creation data
        d.controls.push_back(c);
    }
    return d;
}

constexpr unsigned kRtDialog = 5;
constexpr unsigned kChinesePrc = 0x0804;
// Window and control styles.
constexpr std::uint32_t WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000, WS_CAPTION = 0x00C00000,
                        WS_SYSMENU = 0x00080000, WS_VSCROLL = 0x00200000, WS_GROUP = 0x00020000,
                        WS_TABSTOP = 0x00010000, DS_MODALFRAME = 0x80, DS_SETFONT = 0x40, DS_SETFOREGROUND = 0x200,
                        DS_SYSMODAL = 0x2, CBS_SIMPLE = 0x1, CBS_DROPDOWN = 0x2, BS_DEFPUSHBUTTON = 0x1;

class CompiledResources : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef KELVARA_COMPILED_RESOURCES
        for (Resource &r : ReadResFile(KELVARA_COMPILED_RESOURCES))
            resources[{r.type, r.name}] = std::move(r);
#else
        GTEST_SKIP() << "no resource compiler (x86_64-w64-mingw32-windres) at build time";
#endif
    }
    const Resource &Get(unsigned type, unsigned name)
    {
        const auto it = resources.find({type, name});
        if (it == resources.end())
            throw std::runtime_error("resource missing");
        return it->second;
    }
    std::map<std::pair<unsigned, unsigned>, Resource> resources;
};

TEST_F(CompiledResources, NoticeWindowIsTemplate136AsDrawn)
{
    const Resource &res = Get(kRtDialog, KELVARA_IDD_NOTICE);
    EXPECT_EQ(res.language, kChinesePrc);
    const Dialog d = ReadDialog(res.data);
    EXPECT_EQ(d.style, WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_SETFOREGROUND | DS_SETFONT);
    EXPECT_EQ(std::vector<int>({d.x, d.y, d.cx, d.cy}), std::vector<int>({0, 0, 156, 32}));
    EXPECT_EQ(d.title, u"提示");
    EXPECT_EQ(d.points, 10);
    EXPECT_EQ(d.font, u"Microsoft Sans Serif");
    ASSERT_EQ(d.controls.size(), 1u);
    const Control &text = d.controls[0];
    EXPECT_EQ(text.id, KELVARA_IDC_NOTICE_TEXT);
    EXPECT_EQ(text.kind, 0x82u);
    EXPECT_EQ(text.style, WS_CHILD | WS_VISIBLE | WS_GROUP); // SS_LEFT is 0
    EXPECT_EQ(std::vector<int>({text.x, text.y, text.cx, text.cy}), std::vector<int>({7, 7, 142, 18}));
    EXPECT_EQ(text.text, u"");
}

TEST_F(CompiledResources, SettingsDialogIsTemplate138WithEveryControlAsDrawn)
{
    const Resource &res = Get(kRtDialog, KELVARA_IDD_READER_SETTINGS);
    EXPECT_EQ(res.language, kChinesePrc);
    const Dialog d = ReadDialog(res.data);
    EXPECT_EQ(d.style, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SYSMODAL | DS_SETFONT);
    EXPECT_EQ(d.cx, 182);
    EXPECT_EQ(d.cy, 131);
    EXPECT_EQ(d.title, u"设置读卡器接口");
    EXPECT_EQ(d.points, 10);
    EXPECT_EQ(d.font, u"MS Sans Serif");
    struct Expected {
        int id;
        unsigned kind;
        std::u16string text;
        std::vector<int> box;
        std::uint32_t style;
    };
    const std::uint32_t child = WS_CHILD | WS_VISIBLE;
    const std::vector<Expected> expected = {
        {0xFFFF, 0x82, u"读卡器：", {9, 12, 39, 11}, child | WS_GROUP},
        {2011, 0x85, u"", {42, 12, 87, 68}, child | CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP},
        {0xFFFF, 0x82, u"最大速率(bps):", {9, 33, 54, 8}, child},
        {1026, 0x85, u"", {9, 47, 53, 77}, child | CBS_SIMPLE | WS_VSCROLL | WS_TABSTOP},
        {2002, 0x85, u"", {67, 47, 61, 73}, child | CBS_SIMPLE | WS_VSCROLL | WS_TABSTOP},
        {1, 0x80, u"确认", {137, 85, 32, 14}, child | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP},
        {2, 0x80, u"取消", {137, 104, 32, 14}, child | WS_TABSTOP},
    };
    ASSERT_EQ(d.controls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Control &c = d.controls[i];
        SCOPED_TRACE("control " + std::to_string(i));
        EXPECT_EQ(c.id, expected[i].id);
        EXPECT_EQ(c.kind, expected[i].kind);
        EXPECT_EQ(c.text, expected[i].text);
        EXPECT_EQ(std::vector<int>({c.x, c.y, c.cx, c.cy}), expected[i].box);
        EXPECT_EQ(c.style, expected[i].style);
    }
}

TEST_F(CompiledResources, SettingsListsAreTheTemplatesInitialisationDataAndMatchTheModel)
{
    const Resource &res = Get(KELVARA_RT_DLGINIT, KELVARA_IDD_READER_SETTINGS);
    std::map<int, std::vector<std::string>> items;
    for (const DialogInitEntry &e : ParseDialogInit(res.data)) {
        EXPECT_EQ(e.message, KELVARA_DLGINIT_ADD_COMBO_ITEM);
        items[e.control].push_back(e.text);
    }
    const auto model = [](const auto &list) { return std::vector<std::string>(list.begin(), list.end()); };
    EXPECT_EQ(items[KELVARA_IDC_READER_LIST], model(ReaderSettingsDialog::kReaders));
    EXPECT_EQ(items[KELVARA_IDC_SPEED_LIST], model(ReaderSettingsDialog::SpeedItems()));
    EXPECT_EQ(items[KELVARA_IDC_PORT_LIST], model(ReaderSettingsDialog::kPorts));
    EXPECT_EQ(items.size(), 3u);
}

} // namespace
} // namespace kelvara
