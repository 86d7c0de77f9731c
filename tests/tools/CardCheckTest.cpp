// The card check: what each page holds on a sound card, and every kind of
// damage found and told in words, on hostile cards.
#include "tests/tools/HostileCards.h"

#include <algorithm>

namespace kelvara::testing {
namespace {

using check::CardReport;
using check::Finding;
using check::Kind;
using check::Role;

std::vector<Finding> Of(const CardReport &report, Kind kind)
{
    std::vector<Finding> out;
    std::copy_if(report.findings.begin(), report.findings.end(), std::back_inserter(out),
                 [kind](const Finding &f) { return f.kind == kind; });
    return out;
}

std::string Texts(const CardReport &report)
{
    std::string out;
    for (const Finding &f : report.findings)
        out += std::string(check::KindName(f.kind)) + ": " + f.text + "\n";
    return out;
}

TEST(CardCheck, SoundCardShowsEveryPageForWhatItHolds)
{
    SampleCard s;
    const CardReport r = s.Check();
    EXPECT_TRUE(r.Clean()) << Texts(r);
    EXPECT_TRUE(r.findings.empty()) << Texts(r);
    EXPECT_TRUE(r.formatted);
    EXPECT_TRUE(r.indexSound);
    EXPECT_EQ(r.bitTableFrom, 0);

    std::vector<Role> expected(2048, Role::Free);
    expected[0] = Role::BitTable;
    expected[2047] = Role::BitTableBackup;
    for (int p = 2033; p <= 2046; ++p)
        expected[static_cast<std::size_t>(p)] = Role::SpareBackup;
    expected[2032] = Role::IndexBackup;
    expected[static_cast<std::size_t>(s.IndexPage())] = Role::Index;
    ASSERT_EQ(r.files.size(), 3u);
    for (std::size_t i = 0; i < r.files.size(); ++i) {
        const std::vector<int> pages = s.PagesOf(r.files[i].name);
        EXPECT_EQ(r.files[i].size, static_cast<long long>(s.contents.at(r.files[i].name).size()));
        EXPECT_TRUE(r.files[i].intact);
        for (std::size_t part = 0; part < pages.size(); ++part) {
            const auto &info = r.pages[static_cast<std::size_t>(pages[part])];
            expected[static_cast<std::size_t>(pages[part])] = Role::File;
            EXPECT_EQ(info.file, static_cast<int>(i));
            EXPECT_EQ(info.part, static_cast<int>(part));
        }
    }
    for (int p = 0; p < 2048; ++p) {
        EXPECT_EQ(r.pages[static_cast<std::size_t>(p)].role, expected[static_cast<std::size_t>(p)]) << "page " << p;
        EXPECT_EQ(r.pages[static_cast<std::size_t>(p)].damage, 0u) << "page " << p;
    }

    // The df figures agree with the file system's own count.
    EXPECT_EQ(r.figures.freePages, s.fs.CountFreePages());
    EXPECT_EQ(r.figures.usedPages + r.figures.freePages, 2031);
    EXPECT_EQ(r.figures.usedPages, 7); // six data pages and one index page
    EXPECT_EQ(r.figures.files, 3);
    EXPECT_EQ(r.figures.filePages, 6);
    EXPECT_EQ(r.figures.indexPages, 1);
    EXPECT_EQ(r.figures.fileBytes, 910);
}

TEST(CardCheck, EveryHostileCardGivesItsFindingInWords)
{
    for (const Hostile &h : HostileCards()) {
        SCOPED_TRACE(h.name);
        SampleCard s;
        h.damage(s);
        const CardReport r = s.Check();
        EXPECT_FALSE(r.Clean());
        const std::vector<Finding> found = Of(r, h.kind);
        ASSERT_FALSE(found.empty()) << Texts(r);
        EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const Finding &f) {
            return f.text.find(h.words) != std::string::npos;
        })) << Texts(r);
        const bool allMendable =
            std::all_of(r.findings.begin(), r.findings.end(), [](const Finding &f) { return f.mendable; });
        EXPECT_EQ(allMendable, h.repairExit == 1) << Texts(r);
    }
}

TEST(CardCheck, DamagedVitalPagesSayWhetherTheBackupCanRestoreThem)
{
    {
        SampleCard s;
        s.card.CorruptPage(0, 17);
        const CardReport r = s.Check();
        ASSERT_EQ(r.findings.size(), 1u) << Texts(r);
        EXPECT_EQ(r.findings[0].pages, std::vector<int>{0});
        EXPECT_TRUE(r.findings[0].mendable);
        EXPECT_EQ(r.bitTableFrom, 2047);
        EXPECT_EQ(r.pages[0].damage, check::damage::kBadChecksum);
        EXPECT_TRUE(r.indexSound) << "the bit table from the backup still leads to the index";
        EXPECT_EQ(r.files.size(), 3u);
    }
    {
        SampleCard s;
        const int index = s.IndexPage();
        s.card.CorruptPage(index, 40);
        const CardReport r = s.Check();
        const auto found = Of(r, Kind::DamagedPage);
        ASSERT_EQ(found.size(), 1u) << Texts(r);
        EXPECT_EQ(found[0].text,
                  "index page " + std::to_string(index) +
                      " (position 0 of the chain) has a bad checksum; its backup in page 2032 is "
                      "intact and can restore it");
        EXPECT_EQ(r.files.size(), 3u) << "the index is read from the backup";
        EXPECT_TRUE(r.indexSound);
    }
    {
        // Pages the device cannot read at all.
        SampleCard s;
        check::ImagePages pages(s.card.Image());
        pages.MarkUnreadable(0);
        pages.MarkUnreadable(2047);
        const CardReport r = check::CheckCard(pages);
        const auto found = Of(r, Kind::DamagedPage);
        ASSERT_EQ(found.size(), 1u) << Texts(r);
        EXPECT_EQ(found[0].text,
                  "page 0 (the bit table) cannot be read and its backup in page 2047 cannot be read "
                  "too: the card's directory cannot be found");
        EXPECT_FALSE(found[0].mendable);
        EXPECT_EQ(r.pages[0].damage, check::damage::kUnreadable);
        EXPECT_EQ(r.pages[5].role, Role::Unknown) << "without a bit table nothing is known";
    }
}

TEST(CardCheck, IndexPagesPastFourteenHaveNoBackupToRestoreThem)
{
    SampleCard s;
    // Enough files with long names to make a chain of more than 15 pages.
    for (int i = 0; i < 60; ++i) {
        const std::string name = "a-rather-long-file-name-for-a-long-index-" + std::to_string(100 + i) + ".txt";
        WriteLocal(s.local.path() / name, "x");
        ASSERT_EQ(fs_calls::WriteIcFiles(s.fs, "\\many", (s.local.path() / name).string()), 0);
    }
    ASSERT_TRUE(s.fs.LoadIndex());
    const std::vector<std::uint16_t> chain = s.fs.StoredChainPages();
    ASSERT_GE(chain.size(), 16u);
    EXPECT_TRUE(s.Check().Clean()) << Texts(s.Check());

    s.card.CorruptPage(chain[15], 8);
    const CardReport r = s.Check();
    const auto found = Of(r, Kind::DamagedPage);
    ASSERT_EQ(found.size(), 1u) << Texts(r);
    EXPECT_NE(found[0].text.find("(position 15 of the chain) has a bad checksum; pages past position 14 have no "
                                 "backup: the rest of the index is lost"),
              std::string::npos)
        << found[0].text;
    EXPECT_FALSE(found[0].mendable);
    EXPECT_FALSE(r.indexSound);
    // What the lost part owned can no longer be told from leaked pages.
    const auto leaked = Of(r, Kind::LeakedPages);
    ASSERT_EQ(leaked.size(), 1u);
    EXPECT_NE(leaked[0].text.find("may belong to the part of the index that is lost"), std::string::npos);
    EXPECT_FALSE(leaked[0].mendable);
}

TEST(CardCheck, OwnershipFindingsNameTheFilesAndPages)
{
    {
        SampleCard s;
        const int page = s.PagesOf("\\tax\\receipts.bin")[1];
        s.SetFree(page, true);
        const CardReport r = s.Check();
        const auto found = Of(r, Kind::MarkedFree);
        ASSERT_EQ(found.size(), 1u) << Texts(r);
        EXPECT_EQ(found[0].text,
                  "\\tax\\receipts.bin owns page " + std::to_string(page) +
                      ", which the bitmap calls free: the next file written may overwrite it");
        EXPECT_EQ(found[0].file, "\\tax\\receipts.bin");
        EXPECT_EQ(r.pages[static_cast<std::size_t>(page)].damage, check::damage::kMarkedFree);
        EXPECT_EQ(r.figures.freePages, s.fs.CountFreePages() + 1) << "df counts the bitmap as it is";
    }
    {
        SampleCard s;
        HostileCard("shared-page").damage(s);
        const CardReport r = s.Check();
        const int shared = s.PagesOf("\\tax\\return.xml")[1];
        const auto found = Of(r, Kind::SharedPage);
        ASSERT_EQ(found.size(), 1u) << Texts(r);
        EXPECT_EQ(found[0].pages, std::vector<int>{shared});
        EXPECT_TRUE(r.pages[static_cast<std::size_t>(shared)].damage & check::damage::kShared);
        EXPECT_FALSE(r.files[0].intact);
        EXPECT_FALSE(r.files[1].intact);
        EXPECT_TRUE(r.files[2].intact);
        // receipts.bin's old second page is now owned by nothing.
        const auto leaked = Of(r, Kind::LeakedPages);
        ASSERT_EQ(leaked.size(), 1u) << Texts(r);
        EXPECT_TRUE(leaked[0].mendable);
    }
}

TEST(CardCheck, DataPageDamageNamesTheFileAndThePart)
{
    SampleCard s;
    const std::vector<int> pages = s.PagesOf("\\tax\\return.xml");
    s.card.CorruptPage(pages[0], 0);
    check::ImagePages both(s.card.Image());
    both.MarkUnreadable(pages[2]);
    const CardReport r = check::CheckCard(both);
    const auto found = Of(r, Kind::BadDataPage);
    ASSERT_EQ(found.size(), 2u) << Texts(r);
    EXPECT_EQ(found[0].text,
              "\\tax\\return.xml: page " + std::to_string(pages[0]) +
                  " (part 1 of 3, bytes 0 to 257) has a bad checksum");
    EXPECT_EQ(found[1].text,
              "\\tax\\return.xml: page " + std::to_string(pages[2]) +
                  " (part 3 of 3, bytes 516 to 773) cannot be read");
    EXPECT_EQ(r.files[0].size, 258) << "only the sound middle page counts";
    EXPECT_FALSE(r.files[0].intact);

    // A length no data page can hold, under a right checksum.
    SampleCard t;
    const int page = t.PagesOf("\\notes.txt")[0];
    t.Edit(page, [](std::uint8_t *b) { card::Put16(b + card::kDataLengthOffset, 600); });
    const CardReport u = t.Check();
    const auto bad = Of(u, Kind::BadDataPage);
    ASSERT_EQ(bad.size(), 1u) << Texts(u);
    EXPECT_NE(bad[0].text.find("claims 600 bytes, more than a data page holds"), std::string::npos);
    EXPECT_EQ(u.pages[static_cast<std::size_t>(page)].damage, check::damage::kBadLength);
}

TEST(CardCheck, ABrokenRecordIsPlacedOnTheIndexPageThatHoldsIt)
{
    SampleCard s;
    HostileCard("record-too-short").damage(s);
    const CardReport r = s.Check();
    const auto found = Of(r, Kind::BadRecord);
    ASSERT_EQ(found.size(), 1u) << Texts(r);
    EXPECT_EQ(found[0].text,
              "index record 2 (at byte " + std::to_string(s.RecordOffset(1)) +
                  " of the index) has a length of 5, shorter than any record can be; the records after "
                  "it cannot be read");
    EXPECT_EQ(found[0].pages, std::vector<int>{s.IndexPage()});
    EXPECT_EQ(r.pages[static_cast<std::size_t>(s.IndexPage())].damage, check::damage::kBadRecord);
    EXPECT_EQ(r.files.size(), 1u) << "the record before it is still read";
    EXPECT_FALSE(r.indexSound);
}

TEST(CardCheck, BlankAndForeignCardsAreNotDamage)
{
    wqn::sim::FlashCard blank;
    check::ImagePages pages(blank.Image());
    const CardReport r = check::CheckCard(pages);
    EXPECT_TRUE(r.Clean());
    EXPECT_FALSE(r.formatted);
    ASSERT_EQ(r.findings.size(), 1u);
    EXPECT_EQ(r.findings[0].kind, Kind::NotFormatted);
    EXPECT_EQ(r.findings[0].text, "the card is blank: it has never been formatted");

    // Sound pages without the format marker: a card of another system.
    SampleCard s;
    s.EditBitTable([](std::uint8_t *b) { card::Put16(b + card::kMarkerOffset, 0x1234); });
    const CardReport f = s.Check();
    EXPECT_TRUE(f.Clean()) << Texts(f);
    EXPECT_FALSE(f.formatted);
    EXPECT_EQ(Of(f, Kind::NotFormatted).size(), 1u);
}

TEST(CardCheck, ChainLinkPastTheCardEndsTheIndexAsTheFileSystemReadsIt)
{
    SampleCard s;
    const int page = s.IndexPage();
    s.EditIndex([](std::uint8_t *b) { card::Put16(b + card::kNextIndexOffset, 4000); });
    ASSERT_TRUE(s.fs.LoadIndex()) << "the file system takes it as the end";
    const CardReport r = s.Check();
    const auto found = Of(r, Kind::BrokenChain);
    ASSERT_EQ(found.size(), 1u) << Texts(r);
    EXPECT_EQ(found[0].text,
              "index page " + std::to_string(page) +
                  " links to page 4000, which does not exist; the file system takes it as the end of "
                  "the index");
    EXPECT_TRUE(r.indexSound) << "ownership is still known";
    EXPECT_EQ(r.files.size(), 3u);
}

TEST(CardCheck, OnADeviceEachPageIsReadOnceAndFreePagesNotAtAll)
{
    SampleCard s;
    s.card.ResetCounters();
    s.card.FailReads(s.PagesOf("\\notes.txt")[0], wqn::sim::FlashCard::Repeat::Always);
    std::vector<int> heard;
    check::DevicePages pages(s.card, [&](int page) { heard.push_back(page); });
    const CardReport first = check::CheckCard(pages);
    const CardReport second = check::CheckCard(pages);
    for (int p = 0; p < 2048; ++p)
        EXPECT_LE(s.card.Reads(p), 1) << "page " << p;
    EXPECT_EQ(s.card.Reads(500), 0);
    EXPECT_EQ(s.card.Reads(0), 1);
    EXPECT_EQ(s.card.Reads(2032), 1);
    EXPECT_EQ(static_cast<long long>(heard.size()), s.card.TotalReads());
    EXPECT_EQ(pages.UnreadablePages(), std::vector<int>{s.PagesOf("\\notes.txt")[0]});
    EXPECT_EQ(Of(second, Kind::BadDataPage).size(), 1u) << Texts(second);
    EXPECT_EQ(Texts(first), Texts(second));
}

TEST(CardCheck, WordsForPeople)
{
    EXPECT_EQ(check::PageRanges({57, 40, 41, 42, 41, 100}), "40-42, 57, 100");
    EXPECT_EQ(check::PageRanges({}), "");
    EXPECT_EQ(check::GroupDigits(540672), "540,672");
    EXPECT_EQ(check::GroupDigits(999), "999");
    EXPECT_EQ(check::GroupDigits(-1234), "-1,234");
    EXPECT_EQ(check::Printable("\\tax\\r\xC3\xA9sum\xC3\xA9.txt"), "\\tax\\r\xC3\xA9sum\xC3\xA9.txt");
    EXPECT_EQ(check::Printable("a\xFF"
                               "b\x01"
                               "c"),
              "a\\xFFb\\x01c");
    EXPECT_EQ(check::Printable("\xC3"), "\\xC3") << "a cut sequence";
    EXPECT_EQ(check::Printable("\xE0\x80\x80"), "\\xE0\\x80\\x80") << "an overlong form";
    EXPECT_EQ(check::Printable("\xED\xA0\x80"), "\\xED\\xA0\\x80") << "a surrogate";
    EXPECT_EQ(check::Printable("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

} // namespace
} // namespace kelvara::testing
