// Cards with every kind of damage fsck names: a sample card written by the
// card file system itself (three files and an index), then damaged byte by
// byte the way failing flash, torn writes and stray raw writes damage cards.
#pragma once

#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/card/PageCrc.h"
#include "kelvara/storage/CardFileSystem.h"
#include "sim/card/FlashCard.h"
#include "tests/storage/CardFixture.h"
#include "tests/support/ScriptedMessageBox.h"
#include "tools/cardcheck/CardCheck.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kelvara::testing {

// A formatted card holding three files:
//   \tax\return.xml    600 bytes, 3 data pages
//   \tax\receipts.bin  300 bytes, 2 data pages
//   \notes.txt          10 bytes, 1 data page
// and a one-page index whose backup is page 2032.
class SampleCard {
public:
    SampleCard()
    {
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        fs.SetTimeSource([] { return std::string("20240102030405"); });
        contents = {{"\\tax\\return.xml", Pattern(600, 1)},
                    {"\\tax\\receipts.bin", Pattern(300, 2)},
                    {"\\notes.txt", Pattern(10, 3)}};
        fs_calls::Format(fs);
        for (const std::string path : {"\\tax\\return.xml", "\\tax\\receipts.bin", "\\notes.txt"}) {
            const std::string name = CardFileSystem::FileNameOf(path);
            const std::string directory = path.substr(0, path.size() - name.size());
            WriteLocal(local.path() / name, contents[path]);
            EXPECT_EQ(fs_calls::WriteIcFiles(fs, directory, (local.path() / name).string()), 0);
        }
        EXPECT_TRUE(fs.LoadIndex());
    }

    std::vector<int> PagesOf(const std::string &cardPath)
    {
        EXPECT_TRUE(fs.FindFilePages(cardPath)) << cardPath;
        return std::vector<int>(fs.FilePages().begin(), fs.FilePages().end());
    }
    int IndexPage() const { return fs.FirstIndexPage(); }

    // The sample's pages as the check sees them.
    check::CardReport Check() const
    {
        check::ImagePages pages(card.Image());
        return check::CheckCard(pages);
    }

    // Page bytes changed in place, with the checksum made right again (the
    // kind of damage a stray but well-formed write leaves).
    void Edit(int page, const std::function<void(std::uint8_t *)> &change)
    {
        std::vector<std::uint8_t> bytes(card.Page(page), card.Page(page) + card::kPageSize);
        change(bytes.data());
        card::Put32(bytes.data() + card::kCrcOffset, PageCrc().ComputeCrc(bytes.data(), card::kCheckedBytes));
        card.SetPage(page, bytes.data());
    }
    // The same change to page 0 and its backup, so they still agree.
    void EditBitTable(const std::function<void(std::uint8_t *)> &change)
    {
        Edit(card::kBitTablePage, change);
        card.SetPage(card::kBitTableBackupPage, card.Page(card::kBitTablePage));
    }
    void SetFree(int page, bool free)
    {
        EditBitTable([&](std::uint8_t *b) {
            if (free)
                b[page / 8] = static_cast<std::uint8_t>(b[page / 8] | (1u << (page % 8)));
            else
                b[page / 8] = static_cast<std::uint8_t>(b[page / 8] & ~(1u << (page % 8)));
        });
    }
    // The index page changed in place, and its backup with it.
    void EditIndex(const std::function<void(std::uint8_t *)> &change)
    {
        Edit(IndexPage(), change);
        card.SetPage(card::kIndexBackupBase, card.Page(IndexPage()));
    }
    // The index page rewritten with `text` (at most 256 bytes), and its backup with it.
    void RewriteIndex(const std::string &text)
    {
        EditIndex([&](std::uint8_t *b) {
            std::fill_n(b, card::kIndexBytes, 0);
            std::copy(text.begin(), text.end(), b);
            card::Put16(b + card::kIndexLengthOffset, static_cast<std::uint16_t>(text.size()));
        });
    }
    // Record `n` (from 0) replaced by a record of `name` that keeps its pages.
    void RenameRecord(int n, const std::string &name)
    {
        std::string text = IndexText();
        const std::size_t at = RecordOffset(n), end = RecordOffset(n + 1);
        const std::string record = text.substr(at, end - at);
        const std::size_t star = record.find('*');
        text.replace(at, end - at, Record(name, record.substr(star + 1 + card::kTimeLength)));
        RewriteIndex(text);
    }
    // The index text as it is on the card now.
    std::string IndexText() const
    {
        const std::uint8_t *page = card.Page(IndexPage());
        return std::string(reinterpret_cast<const char *>(page), card::Get16(page + card::kIndexLengthOffset));
    }
    // Where record `n` (from 0) starts in the index text.
    std::size_t RecordOffset(int n) const
    {
        const std::string text = IndexText();
        std::size_t offset = 0;
        for (int i = 0; i < n; ++i)
            offset += static_cast<std::uint8_t>(text[offset]) * 16u + static_cast<std::uint8_t>(text[offset + 1]) / 16u;
        return offset;
    }

    wqn::sim::FlashCard card;
    CardFileSystem fs;
    ScriptedMessageBox box;
    ScratchDirectory local;
    std::map<std::string, std::string> contents; // card path -> bytes
};

// One kind of damage done to the sample card.
struct Hostile {
    std::string name;
    check::Kind kind; // the finding it must give
    std::string words; // words that finding must say
    int repairExit; // what fsck --repair exits with: 1 all mended, 4 nothing could be, 5 some
    std::function<void(SampleCard &)> damage;
};

inline std::vector<Hostile> HostileCards()
{
    using check::Kind;
    return {
        {"bit-table-damaged", Kind::DamagedPage, "page 0 (the bit table) has a bad checksum", 1,
         [](SampleCard &s) { s.card.CorruptPage(0, 17); }},
        {"bit-table-backup-damaged", Kind::DamagedPage, "page 2047 (the backup of the bit table) has a bad checksum", 1,
         [](SampleCard &s) { s.card.CorruptPage(2047, 200); }},
        {"bit-table-backup-differs", Kind::BackupDiffers, "page 2047 (the backup of the bit table) differs", 1,
         [](SampleCard &s) { s.Edit(2047, [](std::uint8_t *b) { b[100] = 0x00; }); }},
        {"both-bit-tables-damaged", Kind::DamagedPage, "the card's directory cannot be found", 4,
         [](SampleCard &s) {
             s.card.CorruptPage(0, 3);
             s.card.CorruptPage(2047, 3);
         }},
        {"index-page-damaged", Kind::DamagedPage, "is intact and can restore it", 1,
         [](SampleCard &s) { s.card.CorruptPage(s.IndexPage(), 40); }},
        {"index-backup-differs", Kind::BackupDiffers, "page 2032 (the backup of index page", 1,
         [](SampleCard &s) { s.Edit(2032, [](std::uint8_t *b) { b[5] ^= 0x20; }); }},
        {"index-page-and-backup-damaged", Kind::DamagedPage, "the rest of the index is lost", 4,
         [](SampleCard &s) {
             s.card.CorruptPage(s.IndexPage(), 40);
             s.card.CorruptPage(2032, 40);
         }},
        {"leaked-pages", Kind::LeakedPages, "marked in use that no file owns (leaked): 100-101", 1,
         [](SampleCard &s) {
             s.SetFree(100, false);
             s.SetFree(101, false);
         }},
        {"file-page-marked-free", Kind::MarkedFree, "the next file written may overwrite it", 1,
         [](SampleCard &s) { s.SetFree(s.PagesOf("\\tax\\receipts.bin")[1], true); }},
        {"shared-page", Kind::SharedPage, "belongs to both \\tax\\return.xml and \\tax\\receipts.bin", 5,
         [](SampleCard &s) {
             // receipts.bin's second page becomes return.xml's second page.
             std::string text = s.IndexText();
             const std::size_t end = s.RecordOffset(2); // receipts.bin is record 1; its 3 page bytes end here
             const int shared = s.PagesOf("\\tax\\return.xml")[1];
             const int first = s.PagesOf("\\tax\\receipts.bin")[0];
             const std::string packed =
                 CardFileSystem::PackPages({static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(shared)});
             text.replace(end - 3, 3, packed);
             s.RewriteIndex(text);
         }},
        {"record-too-short", Kind::BadRecord, "shorter than any record can be", 4,
         [](SampleCard &s) {
             std::string text = s.IndexText();
             const std::size_t at = s.RecordOffset(1);
             text[at] = 0;
             text[at + 1] = 0x50; // length 5
             s.RewriteIndex(text);
         }},
        {"record-page-list-undecodable", Kind::BadRecord, "which cannot be decoded", 4,
         [](SampleCard &s) {
             // receipts.bin (record 1, two pages: 3 bytes) gains a stray byte.
             std::string text = s.IndexText();
             const std::size_t at = s.RecordOffset(1);
             const std::size_t length =
                 static_cast<std::uint8_t>(text[at]) * 16u + static_cast<std::uint8_t>(text[at + 1]) / 16u;
             text.insert(at + length, 1, '\x01');
             text[at] = static_cast<char>((length + 1) / 16);
             text[at + 1] = static_cast<char>(((length + 1) % 16) * 16);
             s.RewriteIndex(text);
         }},
        {"record-page-out-of-range", Kind::BadRecord, "names page 2040, where no file data can be", 4,
         [](SampleCard &s) {
             std::string text = s.IndexText();
             const std::size_t end = s.RecordOffset(3); // notes.txt's single page: its last 2 bytes
             text.replace(end - 2, 2, CardFileSystem::PackPages({2040}));
             s.RewriteIndex(text);
         }},
        {"record-without-separator", Kind::BadRecord, "has no separator between its name and its time", 4,
         [](SampleCard &s) {
             std::string text = s.IndexText();
             const std::size_t star = text.find('*', s.RecordOffset(1));
             text[star] = '_';
             s.RewriteIndex(text);
         }},
        {"bare-record-and-index-page-damaged", Kind::DamagedPage, "is intact and can restore it", 5,
         [](SampleCard &s) {
             // The file system loads a record without its "*", so the damaged
             // page is restored although the record stays a finding.
             std::string text = s.IndexText();
             const std::size_t star = text.find('*', s.RecordOffset(1));
             text[star] = '_';
             s.RewriteIndex(text);
             s.card.CorruptPage(s.IndexPage(), 40);
         }},
        {"chain-loops", Kind::BrokenChain, "loops back to page", 4,
         [](SampleCard &s) {
             const int page = s.IndexPage();
             s.EditIndex([page](std::uint8_t *b) {
                 card::Put16(b + card::kNextIndexOffset, static_cast<std::uint16_t>(page));
             });
         }},
        {"chain-into-backup-area", Kind::BrokenChain, "leads to page 2040, where no index page can be", 4,
         [](SampleCard &s) { s.EditIndex([](std::uint8_t *b) { card::Put16(b + card::kNextIndexOffset, 2040); }); }},
        {"index-length-impossible", Kind::BrokenChain, "claims to hold 300 bytes of index", 4,
         [](SampleCard &s) { s.EditIndex([](std::uint8_t *b) { card::Put16(b + card::kIndexLengthOffset, 300); }); }},
        {"data-page-bad-checksum", Kind::BadDataPage, "(part 2 of 3, bytes 258 to 515) has a bad checksum", 4,
         [](SampleCard &s) { s.card.CorruptPage(s.PagesOf("\\tax\\return.xml")[1], 9); }},
    };
}

inline Hostile HostileCard(const std::string &name)
{
    for (const Hostile &h : HostileCards()) {
        if (h.name == name)
            return h;
    }
    ADD_FAILURE() << "no hostile card " << name;
    return {};
}

} // namespace kelvara::testing
