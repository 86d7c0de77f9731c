// Repairs mend only what the card proves, in an order that keeps the card
// usable at every step, and stop at the first write the card does not take;
// salvage copies what a damaged index still names.
#include "tools/cardcheck/CardRepair.h"
#include "tests/tools/HostileCards.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace kelvara::testing {
namespace {

using check::CardReport;
using check::Kind;
using check::RepairPlan;

RepairPlan Plan(SampleCard &s)
{
    check::ImagePages pages(s.card.Image());
    return check::PlanRepair(pages);
}

// Every file of the sample reads back through the card file system as written.
void ExpectFilesReadBack(SampleCard &s)
{
    CardFileSystem fresh;
    ScriptedMessageBox box;
    fresh.BindReader(&s.card);
    fresh.SetMessageBox(&box);
    ScratchDirectory out;
    std::string names;
    ASSERT_EQ(fs_calls::ReadIcFiles(fresh, out.WithSlash(), "\\tax\\*.*", names), 0);
    ASSERT_EQ(fs_calls::ReadIcFiles(fresh, out.WithSlash(), "\\notes.txt", names), 0);
    EXPECT_EQ(ReadLocal(out.path() / "return.xml"), s.contents["\\tax\\return.xml"]);
    EXPECT_EQ(ReadLocal(out.path() / "receipts.bin"), s.contents["\\tax\\receipts.bin"]);
    EXPECT_EQ(ReadLocal(out.path() / "notes.txt"), s.contents["\\notes.txt"]);
    EXPECT_TRUE(box.calls.empty());
}

TEST(CardRepair, EveryHostileCardIsMendedAsFarAsTheCardProves)
{
    for (const Hostile &h : HostileCards()) {
        SCOPED_TRACE(h.name);
        SampleCard s;
        h.damage(s);
        const std::vector<std::uint8_t> before = s.card.Image();
        const CardReport found = s.Check();
        const RepairPlan plan = Plan(s);
        const auto outcomes = check::ApplyRepair(s.card, plan);
        ASSERT_EQ(outcomes.size(), plan.writes.size());
        for (const auto &o : outcomes)
            EXPECT_TRUE(o.written && o.verified) << "page " << o.page;
        const CardReport after = s.Check();
        for (const check::Finding &f : found.findings) {
            if (!f.mendable)
                continue;
            EXPECT_TRUE(std::none_of(after.findings.begin(), after.findings.end(),
                                     [&](const check::Finding &a) { return a.text == f.text; }))
                << "called mendable, left by the repair: " << f.text;
        }
        if (h.repairExit == 4) {
            EXPECT_TRUE(plan.writes.empty());
            EXPECT_EQ(s.card.Image(), before) << "nothing on the card proves a mend, so nothing is written";
        } else {
            EXPECT_FALSE(plan.writes.empty());
            EXPECT_EQ(after.Clean(), h.repairExit == 1);
        }
        if (h.repairExit == 1)
            ExpectFilesReadBack(s);
    }
}

TEST(CardRepair, LeakedPagesAreFreedAndFilePagesClaimedInOneBitTableWrite)
{
    SampleCard s;
    const int owned = s.PagesOf("\\tax\\return.xml")[2];
    s.SetFree(owned, true);
    s.SetFree(700, false);
    s.SetFree(701, false);
    s.SetFree(1500, false);
    // Bits of the backup area marked free: the file system ignores them, a
    // rebuilt bitmap has them in use as a format writes them.
    s.EditBitTable([](std::uint8_t *b) { b[254] = 0xF0; });
    const RepairPlan plan = Plan(s);
    ASSERT_EQ(plan.writes.size(), 2u);
    EXPECT_EQ(plan.writes[0].page, 0);
    EXPECT_EQ(plan.writes[1].page, 2047);
    EXPECT_EQ(plan.writes[0].what,
              "bitmap rebuilt from the index: 3 leaked pages freed (700-701, 1500), 1 page of "
              "files marked in use (" +
                  std::to_string(owned) + ")");
    EXPECT_EQ(plan.writes[0].bytes, plan.writes[1].bytes);
    EXPECT_EQ(plan.writes[0].bytes[254], 0x00);
    // The rebuilt bitmap changes exactly those pages and seals the page.
    check::ApplyRepair(s.card, plan);
    ASSERT_TRUE(s.fs.LoadIndex());
    EXPECT_FALSE(s.fs.PageIsFree(owned));
    EXPECT_TRUE(s.fs.PageIsFree(700));
    EXPECT_TRUE(s.fs.PageIsFree(1500));
    SampleCard clean;
    EXPECT_EQ(s.fs.BitmapReport(), (clean.fs.LoadIndex(), clean.fs.BitmapReport()));
}

TEST(CardRepair, WritesGoIndexFirstThenPageZeroThenItsBackup)
{
    SampleCard s;
    const int index = s.IndexPage();
    s.card.CorruptPage(index, 30); // restored from 2032
    s.card.CorruptPage(2047, 30); // rewritten from page 0
    s.SetFree(900, false); // leaked: the bitmap is rebuilt
    s.card.CorruptPage(2047, 31);
    s.card.ResetCounters();
    const RepairPlan plan = Plan(s);
    std::vector<int> order;
    for (const auto &w : plan.writes)
        order.push_back(w.page);
    EXPECT_EQ(order, (std::vector<int>{index, 0, 2047}));
    EXPECT_NE(plan.writes[2].what.find("page 2047 (the backup of the bit table) rewritten from page 0"),
              std::string::npos);
    check::ApplyRepair(s.card, plan);
    EXPECT_EQ(s.card.WriteLog(), order);
    EXPECT_TRUE(s.Check().Clean());
}

TEST(CardRepair, AnIndexThatDoesNotHoldTogetherIsNotTouched)
{
    SampleCard s;
    // The primary index page damaged, and the backup (which the file system
    // would read instead) carrying a record it cannot parse: restoring it
    // would only make the damage permanent, and the bitmap is not rebuilt.
    std::string text = s.IndexText();
    const std::size_t at = s.RecordOffset(1);
    text[at] = 0;
    text[at + 1] = 0x50;
    s.RewriteIndex(text);
    s.card.CorruptPage(s.IndexPage(), 12);
    const RepairPlan plan = Plan(s);
    EXPECT_TRUE(plan.writes.empty());
    ASSERT_EQ(plan.declined.size(), 2u);
    EXPECT_EQ(plan.declined[0],
              "index page " + std::to_string(s.IndexPage()) +
                  " not restored from the backup: even with it the index does not read as a whole");
    EXPECT_NE(plan.declined[1].find("the bitmap is not rebuilt"), std::string::npos);
}

TEST(CardRepair, StopsAtTheFirstWriteTheCardDoesNotTake)
{
    SampleCard s;
    const int index = s.IndexPage();
    s.card.CorruptPage(index, 30);
    s.SetFree(900, false);
    s.card.FailWrites(index, wqn::sim::FlashCard::Repeat::Always);
    s.card.ResetCounters();
    const RepairPlan plan = Plan(s);
    ASSERT_EQ(plan.writes.size(), 3u);
    std::vector<int> heard;
    const auto outcomes =
        check::ApplyRepair(s.card, plan, [&](const check::WriteOutcome &o) { heard.push_back(o.page); });
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].written);
    EXPECT_EQ(heard, std::vector<int>{index});
    EXPECT_EQ(s.card.Writes(0), 0) << "page 0 must not name a state the card does not hold";
}

// A card that answers every write with success and keeps nothing.
class ForgetfulCard final : public PageDevice {
public:
    explicit ForgetfulCard(wqn::sim::FlashCard &card)
        : card_(card)
    {
    }
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        return card_.ReadBlock(page, offset, length, buffer);
    }
    bool WriteBlock(int, int, int, const std::uint8_t *) override { return true; }

private:
    wqn::sim::FlashCard &card_;
};

TEST(CardRepair, AWriteCountsOnlyWhenItReadsBack)
{
    SampleCard s;
    s.card.CorruptPage(2047, 5);
    const RepairPlan plan = Plan(s);
    ASSERT_EQ(plan.writes.size(), 1u);
    ForgetfulCard forgetful(s.card);
    const auto outcomes = check::ApplyRepair(forgetful, plan);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].written);
    EXPECT_FALSE(outcomes[0].verified);
}

TEST(CardRepair, SalvageCopiesWhatTheIndexStillNames)
{
    {
        // The second record is broken: only the first file can be named.
        SampleCard s;
        HostileCard("record-too-short").damage(s);
        const CardReport r = s.Check();
        ScratchDirectory dir;
        check::ImagePages pages(s.card.Image());
        const check::SalvageResult result = check::SalvageFiles(pages, r, (dir.path() / "saved").string());
        EXPECT_TRUE(result.ok);
        ASSERT_EQ(result.saved.size(), 1u);
        EXPECT_EQ(ReadLocal(dir.path() / "saved" / "tax" / "return.xml"), s.contents["\\tax\\return.xml"]);
        EXPECT_TRUE(result.skipped.empty());
    }
    {
        // A damaged data page is written as zeros, and said so.
        for (const bool unreadable : {false, true}) {
            SCOPED_TRACE(unreadable ? "unreadable" : "bad checksum");
            SampleCard s;
            const int bad = s.PagesOf("\\tax\\return.xml")[1];
            if (!unreadable)
                s.card.CorruptPage(bad, 9);
            check::ImagePages pages(s.card.Image());
            if (unreadable)
                pages.MarkUnreadable(bad);
            const CardReport r = check::CheckCard(pages);
            ScratchDirectory dir;
            const check::SalvageResult result = check::SalvageFiles(pages, r, dir.path().string());
            ASSERT_EQ(result.holes.size(), 1u);
            EXPECT_EQ(result.holes[0].page, bad);
            EXPECT_EQ(result.holes[0].first, 258);
            EXPECT_EQ(result.holes[0].last, 515);
            EXPECT_EQ(result.holes[0].why, unreadable ? "cannot be read" : "has a bad checksum");
            std::string expected = s.contents["\\tax\\return.xml"];
            std::fill_n(expected.begin() + 258, 258, '\0');
            EXPECT_EQ(ReadLocal(dir.path() / "tax" / "return.xml"), expected);
        }
    }
    {
        // A record whose page list cannot be decoded names no content.
        SampleCard s;
        HostileCard("record-page-list-undecodable").damage(s);
        const CardReport r = s.Check();
        ScratchDirectory dir;
        check::ImagePages pages(s.card.Image());
        const check::SalvageResult result = check::SalvageFiles(pages, r, dir.path().string());
        EXPECT_EQ(result.skipped, std::vector<std::string>{"\\tax\\receipts.bin: its page list cannot be read"});
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "tax" / "receipts.bin"));
        EXPECT_EQ(result.saved.size(), 2u);
    }
}

TEST(CardRepair, SalvageNamesStayInsideTheDirectory)
{
    EXPECT_EQ(check::SalvagePath("\\tax\\2024\\a.xml"), "tax/2024/a.xml");
    EXPECT_EQ(check::SalvagePath("\\..\\..\\etc\\passwd"), "_/_/etc/passwd");
    EXPECT_EQ(check::SalvagePath("\\a/b:c*d"), "a_b_c_d");
    EXPECT_EQ(check::SalvagePath("\\\\"), "unnamed");
    EXPECT_EQ(check::SalvagePath(""), "unnamed");
    EXPECT_EQ(check::SalvagePath(std::string("\\x\x01y", 4)), "x_y");
}

// Card names a local directory cannot hold side by side: every file is
// saved, the ones under another name are reported.
TEST(CardRepair, SalvageSavesFilesWhoseNamesClashLocally)
{
    struct Case {
        const char *name;
        int record; // renamed to `to`, keeping its pages
        std::string to;
        std::map<std::string, std::string> saved; // local path -> card path whose content it holds
        std::string renamed; // the card path saved under another name
        std::string as; // and that name
    } cases[] = {
        {"two files of one name",
         1,
         "\\notes.txt",
         {{"notes.txt", "\\tax\\receipts.bin"}, {"notes.txt.1", "\\notes.txt"}},
         "\\notes.txt",
         "notes.txt.1"},
        {"a file where a directory goes",
         0,
         "\\tax",
         {{"tax", "\\tax\\return.xml"}, {"tax.1/receipts.bin", "\\tax\\receipts.bin"}},
         "\\tax\\receipts.bin",
         "tax.1/receipts.bin"},
        {"a directory where a file goes",
         2,
         "\\tax",
         {{"tax/return.xml", "\\tax\\return.xml"}, {"tax.1", "\\notes.txt"}},
         "\\tax",
         "tax.1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SampleCard s;
        s.RenameRecord(c.record, c.to);
        const CardReport r = s.Check();
        ScratchDirectory dir;
        check::ImagePages image(s.card.Image());
        const check::SalvageResult result = check::SalvageFiles(image, r, dir.path().string());
        EXPECT_TRUE(result.ok);
        for (const auto &[local, from] : c.saved)
            EXPECT_EQ(ReadLocal(dir.path() / local), s.contents[from]) << local;
        ASSERT_EQ(result.renamed.size(), 1u);
        EXPECT_EQ(result.renamed[0].file, c.renamed);
        EXPECT_EQ(result.renamed[0].local, (dir.path() / c.as).string());
    }
}

TEST(CardRepair, SalvageShortensACardNameTooLongForALocalOne)
{
    SampleCard s;
    const std::string directory(300, 'd');
    WriteLocal(s.local.path() / "long.txt", "kept");
    ASSERT_EQ(fs_calls::WriteIcFiles(s.fs, "\\" + directory + "\\", (s.local.path() / "long.txt").string()), 0);
    const CardReport r = s.Check();
    ASSERT_TRUE(r.Clean());
    ScratchDirectory dir;
    check::ImagePages image(s.card.Image());
    const check::SalvageResult result = check::SalvageFiles(image, r, dir.path().string());
    EXPECT_TRUE(result.ok);
    ASSERT_EQ(result.renamed.size(), 1u);
    const std::filesystem::path saved(result.renamed[0].local);
    EXPECT_EQ(saved, dir.path() / saved.parent_path().filename() / "long.txt");
    EXPECT_LE(saved.parent_path().filename().string().size(), 255u);
    EXPECT_EQ(saved.parent_path().filename().string().rfind(directory.substr(0, 200), 0), 0u);
    EXPECT_EQ(ReadLocal(saved), "kept");
}

} // namespace
} // namespace kelvara::testing
