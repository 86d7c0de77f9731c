// The file-system exports of libkelvara.so on a card image behind the serial
// reader simulator, across library processes and simulator restarts.
#include "tests/e2e/E2eSupport.h"

namespace kelvara::e2e {
namespace {

std::string Content(std::size_t size, int seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 13 + static_cast<std::size_t>(seed) * 7) & 0xFF);
    return s;
}

class FileExportsE2e : public E2eTest {
protected:
    void SetUp() override
    {
        E2eTest::SetUp();
        std::filesystem::create_directories(scratch.path() / "in");
        std::filesystem::create_directories(scratch.path() / "out");
        WriteFile(scratch.path() / "in" / "Return2024.xml", Content(1000, 1));
        WriteFile(scratch.path() / "in" / "a.txt", Content(300, 2));
        WriteFile(scratch.path() / "in" / "b.txt", Content(0, 3));
    }
    std::string In(const std::string &name) const { return (scratch.path() / "in" / name).string(); }
    std::string Out() const { return (scratch.path() / "out").string() + "/"; }
};

TEST_F(FileExportsE2e, EveryFileExportOnACardImage)
{
    {
        SerialSim sim(SimArgs());
        UseReaderOn(1, sim);
        InFreshProcess([&] {
            UserScript user;
            user.Install();
            // Without TS_CheckKelvara: the file exports connect by themselves.
            EXPECT_EQ(TS_IsFormat(), -1); // a blank card
            EXPECT_EQ(TS_Format(), 0);
            EXPECT_EQ(TS_IsFormat(), 0);
            const std::string bits = scratch.File("bits.txt");
            EXPECT_EQ(TS_GetBitTable(bits.c_str()), 1);
            EXPECT_EQ(ReadFile(bits), std::string(2032, '1') + std::string(16, '0'));

            EXPECT_EQ(TS_WriteIcFiles("", In("a.txt").c_str()), 0);
            EXPECT_EQ(TS_GetBitTable(bits.c_str()), 1);
            EXPECT_EQ(ReadFile(bits), "1000" + std::string(2028, '1') + std::string(16, '0'));
            EXPECT_EQ(TS_WriteIcFiles("\\TAX", In("*.xml").c_str()), 0);
            EXPECT_EQ(TS_WriteIcFiles("\\tax", In("b.txt").c_str()), 0);
            EXPECT_EQ(TS_WriteIcFiles("\\tax", In("missing.txt").c_str()), -1);

            const std::string dir = scratch.File("dir.txt");
            EXPECT_EQ(TS_DirIcFiles(dir.c_str()), 1);
            const std::string listing = ReadFile(dir);
            EXPECT_NE(listing.find("\\a.txt*"), std::string::npos);
            EXPECT_NE(listing.find("\\tax\\return2024.xml*"), std::string::npos);
            EXPECT_EQ(listing.back(), ',');

            char time[13] = "xxxxxxxxxxxx";
            EXPECT_EQ(TS_FileTime("RETURN2024.XML", time), 0);
            EXPECT_EQ(std::string(time).size(), 12u);
            EXPECT_EQ(TS_FileTime("nothing-like-it", time), 0);
            EXPECT_STREQ(time, "");

            user.prompts.clear();
            EXPECT_EQ(TS_Test(), 0);
            ASSERT_EQ(user.prompts.size(), 1u);
            EXPECT_EQ(user.prompts[0].text, listing);
            TS_ReleaseKelvara();
        });
    }
    // A new simulator on the same image and a new library process.
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_CheckKelvara(), 0);
        char names[256] = "stale";
        ASSERT_EQ(TS_ReadIcFiles(Out().c_str(), "\\tax\\*.*", names), 0);
        EXPECT_STREQ(names, "return2024.xml,b.txt");
        ASSERT_EQ(TS_ReadIcFiles(Out().c_str(), "\\A.TXT", names), 0);
        EXPECT_STREQ(names, "a.txt");
        EXPECT_EQ(ReadFile(scratch.path() / "out" / "return2024.xml"), Content(1000, 1));
        EXPECT_EQ(ReadFile(scratch.path() / "out" / "a.txt"), Content(300, 2));
        EXPECT_TRUE(std::filesystem::exists(scratch.path() / "out" / "b.txt"));
        EXPECT_EQ(std::filesystem::file_size(scratch.path() / "out" / "b.txt"), 0u);

        EXPECT_EQ(TS_DelIcFiles("\\tax\\*.*"), 0);
        EXPECT_EQ(TS_DelIcFiles("\\tax\\*.*"), 0); // nothing left: still 0
        const std::string dir = scratch.File("dir2.txt");
        EXPECT_EQ(TS_DirIcFiles(dir.c_str()), 1);
        EXPECT_EQ(ReadFile(dir).find("\\tax\\"), std::string::npos);
        EXPECT_EQ(TS_DirIcFiles(scratch.File("no/such/dir.txt").c_str()), 0);
        TS_ReleaseKelvara();
    });
}

// With no reader anywhere and the prompt cancelled, a file export that has
// to search (here the first call of its process) fails, and the caller's
// text is emptied.
TEST_F(FileExportsE2e, WithNoReaderFoundTheExportsFailAndEmptyTheirTexts)
{
    char time[13] = "stale";
    const std::pair<const char *, std::function<int()>> rows[] = {
        {"TS_FileTime", [&] { return TS_FileTime("\\a.txt", time); }},
        {"TS_Test", [] { return TS_Test(); }},
    };
    for (const auto &[name, call] : rows) {
        InFreshProcess([&] {
            UserScript user;
            user.Install();
            EXPECT_EQ(call(), -1) << name;
            EXPECT_EQ(user.Texts(), std::vector<std::string>{"连接读卡器失败,USB设备请重新拔插连接线,重试？"}) << name;
        });
    }
    EXPECT_STREQ(time, "");
}

// The bounded read writes within the size it is given, whatever the list: a
// list that does not fit leaves "" (never a name cut short), tells the size
// it needs and keeps the files it copied.
TEST_F(FileExportsE2e, BoundedReadNeverWritesPastTheSizeGiven)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        int needed = -1;
        char out[64] = "stale";
        EXPECT_EQ(KelvaraReadIcFilesBounded(Out().c_str(), "\\tax\\*.*", out, sizeof out, &needed), -1);
        EXPECT_EQ(needed, 0) << "reading never connects by itself";
        ASSERT_EQ(TS_Format(), 0);
        for (const char *name : {"a.txt", "b.txt", "Return2024.xml"})
            ASSERT_EQ(TS_WriteIcFiles("\\tax", In(name).c_str()), 0);
        const std::string list = "a.txt,b.txt,return2024.xml";
        const int size = static_cast<int>(list.size()) + 1;
        struct Case {
            int outSize;
            int result;
            std::string text;
        };
        for (const Case &c : {Case{size, 0, list}, Case{64, 0, list}, Case{size - 1, -1, ""}, Case{0, -1, ""}}) {
            SCOPED_TRACE(c.outSize);
            std::filesystem::remove_all(Out());
            std::filesystem::create_directories(Out());
            EXPECT_EQ(KelvaraReadIcFilesBounded(Out().c_str(), "\\tax\\*.*", out, c.outSize, &needed), c.result);
            EXPECT_EQ(needed, size);
            if (c.outSize > 0) {
                EXPECT_EQ(out, c.text);
            }
            EXPECT_EQ(ReadFile(Out() + "return2024.xml"), Content(1000, 1)) << "the files copied stay";
        }
        TS_ReleaseKelvara();
    });
}

// Card names are 8-bit text in the system code page (936 under Wine, UTF-8
// on Linux); the listing TS_Test shows reaches the box handler in UTF-8.
TEST_F(FileExportsE2e, CardTestShowsChineseNamesInUtf8)
{
    using wqn::host::runner::SystemText;
    using wqn::host::runner::Utf8Text;
    WriteFile(scratch.path() / "in" / "申报表.xml", Content(400, 5));
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        ASSERT_EQ(TS_Format(), 0);
        ASSERT_EQ(TS_WriteIcFiles(SystemText("\\税务").c_str(), SystemText(In("申报表.xml")).c_str()), 0);
        const std::string dir = scratch.File("dir.txt");
        ASSERT_EQ(TS_DirIcFiles(dir.c_str()), 1);
        const std::string listing = Utf8Text(ReadFile(dir));
        EXPECT_NE(listing.find("\\税务\\申报表.xml*"), std::string::npos) << listing;

        ASSERT_EQ(TS_Test(), 0);
        ASSERT_EQ(user.prompts.size(), 1u);
        EXPECT_EQ(user.prompts[0].text, listing);
        EXPECT_EQ(user.prompts[0].caption, listing);
    });
}

TEST_F(FileExportsE2e, FailingPageShowsTheCardPromptAndKeepsTheCard)
{
    {
        SerialSim sim(SimArgs());
        UseReaderOn(1, sim);
        InFreshProcess([&] {
            ASSERT_EQ(TS_Format(), 0);
            ASSERT_EQ(TS_WriteIcFiles("", In("a.txt").c_str()), 0); // data pages 1 and 2
        });
    }
    SerialSim sim(SimArgs({"--fail-page", "2"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        ASSERT_EQ(TS_CheckKelvara(), 0);
        char names[64] = "";
        EXPECT_EQ(TS_ReadIcFiles(Out().c_str(), "\\a.txt", names), -1);
        EXPECT_EQ(user.Texts(), std::vector<std::string>{"读卡出错! 重试?"});
        EXPECT_FALSE(std::filesystem::exists(scratch.path() / "out" / "a.txt"));
        EXPECT_EQ(TS_IsFormat(), 0);
    });
}

// What a host's progress handler sees: as each file begins and after each of
// its data pages, the pages done and the pages to do in this call, starting
// from zero in every call.
TEST_F(FileExportsE2e, TheProgressHandlerCountsTheDataPagesOfEachCall)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        using Calls = std::vector<std::pair<int, int>>;
        Calls calls;
        KelvaraSetProgressHandler(
            [](void *ctx, int done, int total) { static_cast<Calls *>(ctx)->emplace_back(done, total); }, &calls);
        ASSERT_EQ(TS_Format(), 0);
        EXPECT_TRUE(calls.empty()) << "formatting copies no file";

        // 1000 bytes: four data pages of 258 bytes.
        ASSERT_EQ(TS_WriteIcFiles("\\tax", In("Return2024.xml").c_str()), 0);
        EXPECT_EQ(calls, (Calls{{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}));

        // Two files, the 300 bytes of a.txt (2 pages) then the 1000: the
        // total grows as each file begins, and counts start again at 0.
        calls.clear();
        ASSERT_EQ(TS_WriteIcFiles("\\two", In("a.txt").c_str()), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\two", In("Return2024.xml").c_str()), 0);
        EXPECT_EQ(calls, (Calls{{0, 2}, {1, 2}, {2, 2}, {0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}));

        calls.clear();
        char names[256] = "";
        ASSERT_EQ(TS_ReadIcFiles(Out().c_str(), "\\two\\*.*", names), 0);
        EXPECT_EQ(calls, (Calls{{0, 2}, {1, 2}, {2, 2}, {2, 6}, {3, 6}, {4, 6}, {5, 6}, {6, 6}}));

        // Removed: nothing more is reported.
        calls.clear();
        KelvaraSetProgressHandler(nullptr, &calls);
        ASSERT_EQ(TS_ReadIcFiles(Out().c_str(), "\\tax\\return2024.xml", names), 0);
        EXPECT_TRUE(calls.empty());
    });
}

} // namespace
} // namespace kelvara::e2e
