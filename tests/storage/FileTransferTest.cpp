// Copying files onto the card and back, deleting them, and the space check.
#include "tests/storage/CardFixture.h"

#include "kelvara/services/LocalFiles.h"

#include <functional>
#include <memory>
#include <set>

namespace kelvara::testing {
namespace {

using wqn::sim::FlashCard;

class FileTransfer : public CardTest {};

TEST_F(FileTransfer, ThreeHundredByteFileOnAFreshCard)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    const std::string content = Pattern(300);
    ASSERT_EQ(Put("", "a.txt", content), 0);

    EXPECT_EQ(std::string(reinterpret_cast<const char *>(card.Page(1)), 258), content.substr(0, 258));
    EXPECT_EQ(card.Page(1)[258], 0x02);
    EXPECT_EQ(card.Page(1)[259], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(card.Page(2)), 42), content.substr(258));
    EXPECT_EQ(card.Page(2)[258], 0x2A);
    EXPECT_EQ(card.Page(2)[259], 0x00);
    EXPECT_EQ(card.Page(0)[0], 0xF1);
    for (int b = 1; b < 254; ++b)
        ASSERT_EQ(card.Page(0)[b], 0xFF) << b;
    EXPECT_EQ(card.Page(0)[254], 0x00);
    EXPECT_EQ(card.Page(0)[255], 0x00);
    EXPECT_EQ(card.Page(0)[256], 0x03);
    EXPECT_EQ(card.Page(0)[257], 0x00);
    EXPECT_EQ(PageBytes(0), PageBytes(2047));
    EXPECT_EQ(PageBytes(3), PageBytes(2032));

    std::string names;
    ASSERT_EQ(Get("\\a.txt", names), 0);
    EXPECT_EQ(names, "a.txt");
    EXPECT_EQ(ReadLocal(out.path() / "a.txt"), content);
}

TEST_F(FileTransfer, NeverFormattedCardIsFormattedByTheFirstWrite)
{
    ASSERT_EQ(Put("docs", "Report.TXT", "hello"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_TRUE(fs.IsFormatted());
    ASSERT_EQ(fs.FileEntries().size(), 1u);
    EXPECT_EQ(fs.FileEntries().front().name, "docs\\report.txt");
}

// A write formats by itself only a card that holds no readable index. With
// the bit table and its backup failing their checksums, the directory still
// in the first index backup makes the card a damaged one: refused, with its
// own message, and nothing written.
TEST_F(FileTransfer, WriteFormatsOnlyACardWithoutAReadableIndex)
{
    struct Case {
        const char *name;
        std::vector<int> corrupted;
        std::vector<int> zeroed; // a sound checksum, no marker, no index text
        bool formats;
    };
    const Case cases[] = {
        {"bit table and backup damaged", {0, 2047}, {}, false},
        {"index backup damaged too", {0, 2047, 2032}, {}, true},
        {"zeroed pages", {}, {0, 2047, 2032}, true},
    };
    const std::vector<std::uint8_t> zeros(card::kPageSize, 0);
    box.SetFallback(mb::kIdOk);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.Erase();
        ASSERT_EQ(fs_calls::Format(fs), 0);
        for (const char *name : {"a", "b", "c", "d"})
            ASSERT_EQ(Put("\\tax", name, Pattern(300)), 0);
        for (int page : c.corrupted)
            card.CorruptPage(page);
        for (int page : c.zeroed)
            card.SetPage(page, zeros.data());
        const auto before = card.Image();
        box.calls.clear();

        EXPECT_EQ(Put("\\tax", "e", "new"), c.formats ? 0 : -1);
        if (c.formats) {
            ASSERT_TRUE(fs.LoadIndex());
            EXPECT_EQ(fs.FileEntries().size(), 1u);
        } else {
            EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡格式信息损坏,请先修复!"});
            EXPECT_EQ(card.Image(), before);
        }
    }
}

TEST_F(FileTransfer, PageBoundariesAndEmptyFiles)
{
    for (std::size_t size : {0u, 1u, 257u, 258u, 259u, 516u, 517u, 5000u}) {
        const std::string name = "f" + std::to_string(size);
        ASSERT_EQ(Put("\\sizes", name, Pattern(size, static_cast<unsigned>(size))), 0) << size;
    }
    ASSERT_TRUE(fs.LoadIndex());
    for (std::size_t size : {0u, 258u, 259u}) {
        ASSERT_TRUE(fs.FindFilePages("\\sizes\\f" + std::to_string(size)));
        EXPECT_EQ(fs.FilePages().size(), (size + 257) / 258) << size;
    }
    std::string names;
    ASSERT_EQ(Get("\\sizes\\*.*", names), 0);
    EXPECT_EQ(names, "f0,f1,f257,f258,f259,f516,f517,f5000");
    for (std::size_t size : {0u, 1u, 257u, 258u, 259u, 516u, 517u, 5000u})
        EXPECT_EQ(ReadLocal(out.path() / ("f" + std::to_string(size))), Pattern(size, static_cast<unsigned>(size)))
            << size;
}

TEST_F(FileTransfer, WqnDllZipKeepsItsCapital)
{
    ASSERT_EQ(Put("", "WQN_DLL.ZIP", "zip"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.FileEntries().front().name, "\\Wqn_dll.zip");
    std::string names;
    ASSERT_EQ(Get("\\WQN_DLL.ZIP", names), 0);
    EXPECT_EQ(names, "Wqn_dll.zip");
    EXPECT_EQ(ReadLocal(out.path() / "Wqn_dll.zip"), "zip");
}

TEST_F(FileTransfer, RewritingAFileMovesItToTheEndWithTheNewTime)
{
    ASSERT_EQ(Put("", "a.txt", "old"), 0);
    ASSERT_EQ(Put("", "b.txt", "bee"), 0);
    now = "20250101000000";
    ASSERT_EQ(Put("", "a.txt", "new content"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.ListFiles(), "\\b.txt*20240102030405,\\a.txt*20250101000000,");
    std::string names;
    ASSERT_EQ(Get("\\a.txt", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "a.txt"), "new content");
}

TEST_F(FileTransfer, WildcardsCopyEveryMatchingFileButNoDirectory)
{
    WriteLocal(local.path() / "One.dat", "1");
    WriteLocal(local.path() / "two.dat", "22");
    WriteLocal(local.path() / "skip.txt", "no");
    std::filesystem::create_directory(local.path() / "sub.dat");
    ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\IN", (local.path() / "*.dat").string()), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.ListFiles(), "\\in\\one.dat*20240102030405,\\in\\two.dat*20240102030405,");

    EXPECT_EQ(fs_calls::WriteIcFiles(fs, "\\in", (local.path() / "*.none").string()), -1);
    EXPECT_EQ(fs_calls::WriteIcFiles(fs, "\\in", (local.path() / "t?o.dat").string()), 0);
}

TEST_F(FileTransfer, StarDotStarCopiesFilesWithoutADotToo)
{
    // The order of a search is the local file system's; compare names only.
    const auto names = [this] {
        EXPECT_TRUE(fs.LoadIndex());
        std::set<std::string> names;
        for (const FileEntry &entry : fs.FileEntries())
            names.insert(entry.name);
        return names;
    };
    WriteLocal(local.path() / "README", "read me");
    WriteLocal(local.path() / "a.b.c", "abc");
    WriteLocal(local.path() / "x.txt", "x");
    std::filesystem::create_directory(local.path() / "subdir");
    ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\all", (local.path() / "*.*").string()), 0);
    EXPECT_EQ(names(), (std::set<std::string>{"\\all\\a.b.c", "\\all\\readme", "\\all\\x.txt"}));

    // "?" stands for exactly one character; a final ".*" may match nothing.
    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\all\\*.*"), 0);
    WriteLocal(local.path() / "to.dat", "2");
    WriteLocal(local.path() / "two.dat", "3");
    WriteLocal(local.path() / "three.dat", "5");
    ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\q", (local.path() / "t?o.dat").string()), 0);
    ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\r", (local.path() / "READ*.*").string()), 0);
    EXPECT_EQ(fs_calls::WriteIcFiles(fs, "\\s", (local.path() / "t?.dat.*").string()), 0);
    EXPECT_EQ(names(), (std::set<std::string>{"\\q\\two.dat", "\\r\\readme", "\\s\\to.dat"}));
}

TEST_F(FileTransfer, LocalPathKeepsTheCaseTheCallerGave)
{
    std::filesystem::create_directory(local.path() / "MixedCase");
    WriteLocal(local.path() / "MixedCase" / "Data.BIN", "bytes");
    ASSERT_EQ(fs_calls::WriteIcFiles(fs, "", (local.path() / "MixedCase" / "Data.BIN").string()), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.FileEntries().front().name, "\\data.bin");
}

TEST_F(FileTransfer, MissingLocalFileOrStarInTheCardPathFails)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    card.ResetCounters();
    EXPECT_EQ(fs_calls::WriteIcFiles(fs, "", (local.path() / "absent.txt").string()), -1);
    EXPECT_EQ(Put("bad*dir", "a.txt", "x"), -1);
    EXPECT_EQ(Put("", "we*ird.txt", "x"), -1);
    EXPECT_EQ(card.TotalWrites(), 0);
}

TEST_F(FileTransfer, PatternsReadAndDeleteWholeDirectoriesWithSubdirectories)
{
    ASSERT_EQ(Put("\\tax", "a.txt", "A"), 0);
    ASSERT_EQ(Put("\\tax\\2024", "b.txt", "B"), 0);
    ASSERT_EQ(Put("\\taxes", "c.txt", "C"), 0);
    ASSERT_EQ(Put("", "d.txt", "D"), 0);

    std::string names;
    ASSERT_EQ(Get("\\TAX\\*.*", names), 0);
    EXPECT_EQ(names, "a.txt,b.txt");
    ASSERT_EQ(Get("\\*.*", names), 0);
    EXPECT_EQ(names, "a.txt,b.txt,c.txt,d.txt");
    ASSERT_EQ(Get("\\nothing.txt", names), 0);
    EXPECT_EQ(names, "");

    card.ResetCounters();
    EXPECT_EQ(fs_calls::DelIcFiles(fs, "\\empty\\*.*"), 0);
    EXPECT_EQ(fs_calls::DelIcFiles(fs, "\\no.txt"), 0);
    EXPECT_EQ(card.TotalWrites(), 0);

    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\tax\\*.*"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.ListFiles(), "\\taxes\\c.txt*20240102030405,\\d.txt*20240102030405,");
}

TEST_F(FileTransfer, DeletingEveryFileLeavesAnEmptyDirectory)
{
    ASSERT_EQ(Put("\\tax", "a.txt", Pattern(600, 1)), 0);
    ASSERT_EQ(Put("\\tax\\2024", "b.txt", Pattern(300, 2)), 0);
    ASSERT_EQ(Put("", std::string(150, 'c'), Pattern(900, 3)), 0);
    ASSERT_EQ(Put("", std::string(150, 'd'), Pattern(100, 5)), 0); // the index takes two pages
    const auto freshLoad = [this] {
        auto loaded = std::make_unique<CardFileSystem>();
        loaded->BindReader(&card);
        loaded->SetMessageBox(&box);
        EXPECT_TRUE(loaded->LoadIndex());
        return loaded;
    };

    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\tax\\*.*"), 0);
    EXPECT_EQ(freshLoad()->ListFiles(),
              "\\" + std::string(150, 'c') + "*20240102030405,\\" + std::string(150, 'd') + "*20240102030405,");

    // Until the save, the card still names the old chain and the files:
    // none of their pages may be handed out.
    ASSERT_TRUE(fs.LoadIndex());
    std::set<std::uint16_t> referenced(fs.StoredChainPages().begin(), fs.StoredChainPages().end());
    ASSERT_EQ(referenced.size(), 2u);
    for (char c : {'c', 'd'}) {
        ASSERT_TRUE(fs.FindFilePages("\\" + std::string(150, c)));
        referenced.insert(fs.FilePages().begin(), fs.FilePages().end());
    }
    ASSERT_TRUE(fs.DeleteFiles("\\*.*"));
    OpenCardFileSystem probe; // the same state, to allocate from without spoiling fs
    probe.BindReader(&card);
    ASSERT_TRUE(probe.LoadIndex());
    ASSERT_TRUE(probe.DeleteFiles("\\*.*"));
    for (std::uint16_t page = probe.AllocPage(); page != 0; page = probe.AllocPage())
        ASSERT_EQ(referenced.count(page), 0u) << page;

    ASSERT_TRUE(fs.SaveIndex());
    const auto empty = freshLoad();
    EXPECT_TRUE(empty->IsFormatted());
    EXPECT_TRUE(empty->FileEntries().empty());
    EXPECT_EQ(empty->FirstIndexPage(), 0);
    EXPECT_EQ(card::Get16(card.Page(0) + 256), 0);
    EXPECT_EQ(card::Get16(card.Page(2047) + 256), 0);
    EXPECT_EQ(empty->CountFreePages(), 2031);

    // Later writes go into the freed pages and nothing deleted comes back.
    ASSERT_EQ(Put("", "new.txt", Pattern(2000, 4)), 0);
    EXPECT_EQ(freshLoad()->ListFiles(), "\\new.txt*20240102030405,");
    std::string names;
    ASSERT_EQ(Get("\\*.*", names), 0);
    EXPECT_EQ(names, "new.txt");
    EXPECT_EQ(ReadLocal(out.path() / "new.txt"), Pattern(2000, 4));
}

TEST_F(FileTransfer, DeletedPagesReturnToTheFreePoolAfterTheSave)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    ASSERT_EQ(Put("", "big", Pattern(258 * 10)), 0);
    ASSERT_TRUE(fs.LoadIndex());
    const int freeWithFile = fs.CountFreePages();
    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\BIG"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.CountFreePages(), freeWithFile + 10 + 1); // data pages and the index page
    EXPECT_EQ(fs.CountFreePages(), 2031);
}

TEST_F(FileTransfer, ReadingIntoAnUnformattedCardOrWithoutFilesBehaves)
{
    std::string names = "stale";
    EXPECT_EQ(Get("\\a.txt", names), -1);
    EXPECT_EQ(names, "");
    EXPECT_EQ(fs_calls::DelIcFiles(fs, "\\a.txt"), 0);
    EXPECT_EQ(card.TotalWrites(), 0);
}

TEST_F(FileTransfer, CardNamesThatCouldEscapeTheLocalDirectoryAreRefused)
{
    const std::uint8_t data[1] = {'!'};
    for (const std::string name : {"\\dir\\..", "\\dir\\.", "\\dir\\", "\\a/b", "\\x:..", "\\x:"}) {
        PlantIndex(card, Record(name, std::string("\x00\x10", 2)), {3});
        ASSERT_TRUE(fs.WriteDataPage(1, data, 1));
        std::string names;
        EXPECT_EQ(Get(name, names), -1) << name;
        EXPECT_EQ(names, "") << name;
    }
    EXPECT_TRUE(std::filesystem::is_empty(out.path()));
    // A plain name under the same conditions is read.
    PlantIndex(card, Record("\\dir\\ok", std::string("\x00\x10", 2)), {3});
    std::string names;
    ASSERT_EQ(Get("\\dir\\ok", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "ok"), "!");
}

// A card name that Windows would open as a device, a stream or another file
// is refused there; everywhere a name that is read lands in a file of exactly
// that name.
TEST_F(FileTransfer, CardNamesThatWouldOpenSomethingElseLocallyAreRefused)
{
    const std::uint8_t data[1] = {'!'};
    for (const std::string leaf : {"nul.txt", "name.", "name ", "b:c"}) {
        const std::string name = "\\dir\\a:" + leaf; // a file name starts after its first ':'
        PlantIndex(card, Record(name, std::string("\x00\x10", 2)), {3});
        ASSERT_TRUE(fs.WriteDataPage(1, data, 1));
        std::string names;
        const bool read = Get(name, names) == 0;
        EXPECT_EQ(read, IsPlainFileName(leaf)) << leaf;
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(out.path()))
            files.push_back(entry.path().filename().string());
        EXPECT_EQ(files, read ? std::vector<std::string>{leaf} : std::vector<std::string>{}) << leaf;
        std::filesystem::remove_all(out.path() / leaf);
    }
}

TEST_F(FileTransfer, ReadErrorLeavesAnExistingLocalFileAlone)
{
    ASSERT_EQ(Put("", "a.txt", Pattern(600)), 0);
    WriteLocal(out.path() / "a.txt", "precious");
    card.FailReads(2, FlashCard::Repeat::Always);
    std::string names;
    EXPECT_EQ(Get("\\a.txt", names), -1);
    EXPECT_EQ(ReadLocal(out.path() / "a.txt"), "precious");
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"读卡出错! 重试?"});
}

// Fills a formatted card until no page is left for a new index chain: a file
// of 30 pages and a small one, both with long names, then the largest file the
// space check lets in. Returns the content of that filler.
std::string FillCardToTheBrim(CardFileSystem &fs,
                              const std::function<int(const std::string &, const std::string &)> &put)
{
    EXPECT_EQ(put(std::string(100, 'a'), Pattern(258 * 30, 1)), 0);
    EXPECT_EQ(put(std::string(100, 'b'), Pattern(100, 2)), 0);
    EXPECT_TRUE(fs.LoadIndex());
    long long pages = fs.CountFreePages();
    while (pages > 0 && !fs.HasSpace("\\filler", 258 * pages))
        --pages;
    const std::string filler = Pattern(static_cast<std::size_t>(258 * pages), 3);
    EXPECT_EQ(put("filler", filler), 0);
    return filler;
}

TEST_F(FileTransfer, DeletingFromAFullCardSucceeds)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    const std::string filler = FillCardToTheBrim(
        fs, [this](const std::string &name, const std::string &content) { return Put("", name, content); });
    ASSERT_TRUE(fs.LoadIndex());
    // Not even the old chain's size is free: a new chain must reuse pages.
    ASSERT_LT(fs.CountFreePages(), static_cast<int>(fs.StoredChainPages().size()));

    // A replace keeps the stricter rule: the old file stays whole.
    box.SetFallback(mb::kIdOk);
    EXPECT_EQ(Put("", std::string(100, 'a'), Pattern(100, 4)), -1);
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡空间不足!"});

    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\" + std::string(100, 'a')), 0);
    ASSERT_TRUE(fs.LoadIndex());
    ASSERT_EQ(fs.FileEntries().size(), 2u);
    std::string names;
    ASSERT_EQ(Get("\\*.*", names), 0);
    EXPECT_EQ(names, std::string(100, 'b') + ",filler");
    EXPECT_EQ(ReadLocal(out.path() / std::string(100, 'b')), Pattern(100, 2));
    EXPECT_EQ(ReadLocal(out.path() / "filler"), filler);

    // Deleting everything leaves an empty, sound card.
    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\*.*"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_TRUE(fs.FileEntries().empty());
    EXPECT_EQ(fs.CountFreePages(), 2031);
}

// The Java binding saves the index in memory on a call of its own, so a
// replace that fails must leave memory as it found it: the old file listed
// and whole after that save, and no page taken.
TEST_F(FileTransfer, FailedReplaceLeavesTheIndexInMemoryAsItWas)
{
    struct Case {
        const char *what;
        std::size_t newSize;
        bool failWrite;
    };
    for (const Case &c : {Case{"no space", 258 * 2100, false}, Case{"a data page write fails", 258 * 3, true}}) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(fs_calls::Format(fs), 0);
        ASSERT_EQ(Put("", "keep.txt", "before"), 0);
        ASSERT_EQ(Put("", "a.txt", Pattern(600)), 0);
        ASSERT_TRUE(fs.LoadIndex());
        const std::list<FileEntry> entries = fs.FileEntries();
        const int freePages = fs.CountFreePages();

        box.SetFallback(mb::kIdOk);
        WriteLocal(local.path() / "a.txt", Pattern(c.newSize, 9));
        if (c.failWrite) { // the new file's second page
            const std::uint16_t first = fs.AllocPage();
            const std::uint16_t second = fs.AllocPage();
            fs.FreePage(first);
            fs.FreePage(second);
            card.FailWrites(second, FlashCard::Repeat::Always);
        }
        EXPECT_FALSE(fs.WriteFiles("\\", (local.path() / "a.txt").string()));
        EXPECT_EQ(fs.FileEntries(), entries);
        EXPECT_EQ(fs.CountFreePages(), freePages);

        card.ClearFaults();
        ASSERT_TRUE(fs.SaveIndex());
        std::string names;
        ASSERT_EQ(Get("\\*.*", names), 0);
        EXPECT_EQ(names, "keep.txt,a.txt");
        EXPECT_EQ(ReadLocal(out.path() / "a.txt"), Pattern(600));
    }
}

// The last allocatable page is as good as any for the new chain: on a card
// with no free page, where the only page the chain can take is page 2031 of
// the file being deleted, the delete succeeds and the chain goes there.
TEST_F(FileTransfer, DeletingFromAFullCardCanPutTheChainOnTheLastAllocatablePage)
{
    PlantIndex(card, Record("\\a", CardFileSystem::PackPages({2})) + Record("\\z", CardFileSystem::PackPages({2031})),
               {1}, 0x00);
    ASSERT_TRUE(fs.LoadIndex());
    while (fs.AllocPage() != 0) {
    }
    ASSERT_TRUE(fs.PackBitmap());
    ASSERT_TRUE(fs.WriteBitTablePage()); // every page in use

    ASSERT_EQ(fs_calls::DelIcFiles(fs, "\\z"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.ListFiles(), "\\a*20240102030405,");
    EXPECT_EQ(fs.StoredChainPages(), std::vector<std::uint16_t>{2031});
}

TEST_F(FileTransfer, FileLargerThanTheWholeCardGetsTheNoSpaceMessage)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    const auto before = card.Image();
    box.SetFallback(mb::kIdOk);
    EXPECT_EQ(Put("", "huge", Pattern(258 * 2032)), -1);
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡空间不足!"});
    EXPECT_EQ(card.Image(), before);
}

// A card path too long for its record's 12-bit length is refused with its
// own message, also when it is long enough to fail the space check.
TEST_F(FileTransfer, OverlongCardPathGetsItsOwnMessage)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    const auto before = card.Image();
    box.SetFallback(mb::kIdOk);
    for (std::size_t length : {4080u, 600000u}) {
        box.calls.clear();
        EXPECT_EQ(Put(std::string(length, 'd'), "a.txt", "x"), -1) << length;
        EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡文件路径过长!"}) << length;
        EXPECT_EQ(card.Image(), before) << length;
    }
}

// The space check counts the new index in whole pages of 256 bytes: one
// byte past a page takes another page. On a formatted card (2031 free
// pages), \ab with 2019 data pages makes an index of 3 + 17 + 3053 =
// 3073 bytes, 13 pages: one page too many. With 2018 data pages the index is
// 3071 bytes, 12 pages: it fits.
TEST_F(FileTransfer, AnIndexOneBytePastAPageNeedsAnotherPage)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    ASSERT_TRUE(fs.LoadIndex());
    ASSERT_EQ(fs.CountFreePages(), 2031);
    EXPECT_FALSE(fs.HasSpace("\\ab", 258 * 2019));
    EXPECT_TRUE(fs.HasSpace("\\ab", 258 * 2018));

    box.SetFallback(mb::kIdOk);
    EXPECT_EQ(Put("", "ab", Pattern(258 * 2019)), -1);
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡空间不足!"});
    const std::string content = Pattern(258 * 2018, 5);
    ASSERT_EQ(Put("", "ab", content), 0);
    std::string names;
    ASSERT_EQ(Get("\\ab", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "ab"), content);
}

TEST_F(FileTransfer, NoSpaceRefusalLeavesTheCardUnchanged)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(Put("", "fill" + std::to_string(i), Pattern(258 * 200, static_cast<unsigned>(i))), 0);
    ASSERT_TRUE(fs.LoadIndex());
    const int free = fs.CountFreePages();
    long long records = 0;
    for (const FileEntry &entry : fs.FileEntries())
        records += entry.recordLength;
    // The largest file that fits: its data pages plus the whole new index
    // (estimated with 256 bytes a page) within the free pages.
    const auto needed = [&](long long dataPages) {
        const long long n = (258 * dataPages + 255) / 256;
        const long long total = records + 2 + 6 + 1 + 14 + 3 * n / 2 + n % 2;
        return dataPages + (total + 255) / 256;
    };
    long long fits = 0;
    while (needed(fits + 1) <= free)
        ++fits;
    ASSERT_GT(fits, 1);

    const auto before = card.Image();
    box.SetFallback(mb::kIdOk);
    EXPECT_EQ(Put("", "tight", Pattern(static_cast<std::size_t>(258 * (fits + 1)))), -1);
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡空间不足!"});
    EXPECT_EQ(card.Image(), before);
    ASSERT_EQ(Put("", "tight", Pattern(static_cast<std::size_t>(258 * fits))), 0);
    std::string names;
    ASSERT_EQ(Get("\\tight", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "tight"), Pattern(static_cast<std::size_t>(258 * fits)));
}

// A rename rewrites the index alone: the data pages are neither written nor
// moved, and the file reads back under its new name only.
TEST_F(FileTransfer, RenameRewritesOnlyTheIndex)
{
    ASSERT_EQ(Put("\\tax", "a.xml", Pattern(700, 7)), 0);
    ASSERT_EQ(Put("", "b.txt", "B"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    ASSERT_TRUE(fs.FindFilePages("\\tax\\a.xml"));
    const std::vector<std::uint16_t> pages = fs.FilePages();
    card.ResetCounters();
    ASSERT_EQ(fs_calls::RenameIcFile(fs, "\\TAX\\a.xml", "\\Old\\2024\\A.xml"), 0);
    for (int page : card.WriteLog())
        EXPECT_EQ(std::count(pages.begin(), pages.end(), page), 0) << "data page " << page << " written";
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.ListFiles(), "\\old\\2024\\a.xml*20240102030405,\\b.txt*20240102030405,");
    ASSERT_TRUE(fs.FindFilePages("\\old\\2024\\a.xml"));
    EXPECT_EQ(fs.FilePages(), pages);
    std::string names;
    ASSERT_EQ(Get("\\old\\2024\\a.xml", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "a.xml"), Pattern(700, 7));
}

TEST_F(FileTransfer, RenameRefusesWithoutWritingAnything)
{
    const struct {
        const char *from, *to, *why;
    } cases[] = {
        {"\\nope.txt", "\\c.txt", "missing source"},
        {"\\a.txt", "\\B.TXT", "existing target"},
        {"\\a.txt", "\\a.txt", "itself"},
        {"\\a.txt", "c.txt", "no backslash first"},
        {"\\a.txt", "\\d\\", "no file name"},
        {"\\a.txt", "\\d\\\\c.txt", "empty directory"},
        {"\\a.txt", "\\c*.txt", "star"},
        {"\\a.txt", "\\d\\..", "dot dot"},
        {"\\a.txt", "", "empty"},
    };
    ASSERT_EQ(fs_calls::RenameIcFile(fs, "\\a.txt", "\\c.txt"), -1) << "unformatted card";
    ASSERT_EQ(Put("", "a.txt", "A"), 0);
    ASSERT_EQ(Put("", "b.txt", "B"), 0);
    const auto before = card.Image();
    for (const auto &c : cases) {
        EXPECT_EQ(fs_calls::RenameIcFile(fs, c.from, c.to), -1) << c.why;
        EXPECT_EQ(card.Image(), before) << c.why;
    }
    box.SetFallback(mb::kIdOk);
    EXPECT_EQ(fs_calls::RenameIcFile(fs, "\\a.txt", "\\" + std::string(4080, 'd')), -1) << "record too long";
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡文件路径过长!"});
    EXPECT_EQ(card.Image(), before);
}

} // namespace
} // namespace kelvara::testing
