// Fuzz target: the card's index text and LoadIndex over a card image.
//
// Input: two bytes (little-endian) give the length T of an index text, T
// bytes of text follow, then a byte that fills the bit table and one that
// makes the card's writes fail during a delete (below 64); the rest are
// page edits, each a page number (two bytes, taken modulo 2048), a flag byte
// (bit 0: give the page a sound checksum afterwards), an offset byte and a
// length byte followed by that many bytes laid over the page at the offset.
//
// The text is parsed on its own (a text that parses must serialise back to
// records that parse to the same directory) and planted as an index chain
// from page 3 with a bit table naming it; the edits then damage the card at
// will. Whatever the card holds, the load must end within the card's pages,
// and when it loads: no page the index names counts as free, saving then
// loading gives the same directory, every file can be read or refused, a
// delete whose writes fail part way leaves the old or the new directory, and
// deleting everything leaves an empty card that loads.
#include "fuzz/FuzzInput.h"
#include "kelvara/card/PageCrc.h"
#include "kelvara/storage/CardFileSystem.h"
#include "tests/support/ScriptedMessageBox.h"

#include <array>
#include <map>
#include <vector>

namespace {

using namespace kelvara;

// A card that keeps only the pages written to it (the others read as erased
// flash), so each input costs little; counts what goes through it.
class SparseCard final : public PageDevice {
public:
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        if (!InRange(page, offset, length))
            return false;
        walked += page >= card::kFirstAllocatablePage && page <= card::kLastAllocatablePage ? 1 : 0;
        std::copy_n(Page(page) + offset, length, buffer);
        return true;
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        if (!InRange(page, offset, length) || (failFrom >= 0 && writes >= failFrom))
            return false;
        ++writes;
        std::copy_n(buffer, length, Own(page) + offset);
        return true;
    }
    const std::uint8_t *Page(int page) const
    {
        const auto it = pages_.find(page);
        return it != pages_.end() ? it->second.data() : erased_.data();
    }
    std::uint8_t *Own(int page)
    {
        auto [it, added] = pages_.try_emplace(page);
        if (added)
            it->second = erased_;
        return it->second.data();
    }
    long long walked = 0;
    long long writes = 0; // writes that landed
    long long failFrom = -1; // when not negative, writes fail once this many landed

private:
    static bool InRange(int page, int offset, int length)
    {
        return page >= 0 && page < card::kPageCount && offset >= 0 && length >= 0 && offset + length <= card::kPageSize;
    }
    using Image = std::array<std::uint8_t, card::kPageSize>;
    std::map<int, Image> pages_;
    Image erased_ = [] {
        Image page;
        page.fill(0xFF);
        return page;
    }();
};

const PageCrc &Crc()
{
    static const PageCrc crc;
    return crc;
}

void Seal(std::uint8_t *page) { card::Put32(page + card::kCrcOffset, Crc().ComputeCrc(page, card::kCheckedBytes)); }

void CheckTextRoundTrip(std::string_view text)
{
    std::list<FileEntry> entries;
    if (!CardFileSystem::ParseIndexText(text, entries))
        return;
    const std::optional<std::string> again = CardFileSystem::IndexText(entries);
    FUZZ_CHECK(again.has_value());
    std::list<FileEntry> reparsed;
    FUZZ_CHECK(CardFileSystem::ParseIndexText(*again, reparsed));
    FUZZ_CHECK(reparsed == entries);
}

void Plant(SparseCard &card, std::string_view text, std::uint8_t bitmapByte)
{
    std::uint8_t page[card::kPageSize];
    const std::size_t chunks = (text.size() + card::kIndexBytes - 1) / card::kIndexBytes;
    for (std::size_t k = 0; k < chunks; ++k) {
        std::fill(std::begin(page), std::end(page), std::uint8_t(0));
        const std::string_view piece = text.substr(k * card::kIndexBytes, card::kIndexBytes);
        std::copy(piece.begin(), piece.end(), page);
        card::Put16(page + card::kIndexLengthOffset, std::uint16_t(piece.size()));
        card::Put16(page + card::kNextIndexOffset, std::uint16_t(k + 1 < chunks ? 3 + k + 1 : 0));
        Seal(page);
        std::copy_n(page, card::kPageSize, card.Own(int(3 + k)));
    }
    std::fill(std::begin(page), std::end(page), std::uint8_t(0));
    std::fill(page, page + 254, bitmapByte);
    card::Put16(page + card::kFirstIndexOffset, std::uint16_t(chunks > 0 ? 3 : 0));
    card::Put16(page + card::kMarkerOffset, card::kFormatMarker);
    Seal(page);
    std::copy_n(page, card::kPageSize, card.Own(card::kBitTablePage));
    std::copy_n(page, card::kPageSize, card.Own(card::kBitTableBackupPage));
}

void ApplyEdits(SparseCard &card, fuzz::Input &in)
{
    while (!in.Empty()) {
        const int number = in.Word() % card::kPageCount;
        const std::uint8_t flags = in.Byte();
        const std::size_t offset = in.Byte();
        const std::string_view bytes = in.Bytes(std::min<std::size_t>(in.Byte(), card::kPageSize - offset));
        std::uint8_t *page = card.Own(number);
        std::copy(bytes.begin(), bytes.end(), page + offset);
        if (flags & 1)
            Seal(page);
    }
}

std::list<FileEntry> Reload(SparseCard &card, kelvara::testing::ScriptedMessageBox &box)
{
    CardFileSystem fs;
    fs.BindReader(&card);
    fs.SetMessageBox(&box);
    FUZZ_CHECK(fs.LoadIndex());
    for (const FileEntry &entry : fs.FileEntries()) {
        for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages))
            FUZZ_CHECK(!fs.PageIsFree(page));
    }
    return fs.FileEntries();
}

void CheckLoadedCard(SparseCard &card, CardFileSystem &fs, kelvara::testing::ScriptedMessageBox &box,
                     long long failAfter)
{
    const std::list<FileEntry> entries = fs.FileEntries();
    for (std::uint16_t page : fs.StoredChainPages())
        FUZZ_CHECK(!fs.PageIsFree(page));
    for (const FileEntry &entry : entries) {
        const std::vector<std::uint16_t> pages = CardFileSystem::UnpackPages(entry.pages);
        for (std::uint16_t page : pages)
            FUZZ_CHECK(page >= card::kFirstAllocatablePage && page <= card::kLastAllocatablePage &&
                       !fs.PageIsFree(page));
        FUZZ_CHECK(CardFileSystem::UnpackPages(CardFileSystem::PackPages(pages)) == pages);
    }
    // Every file reads back or is refused, within its own pages.
    for (const FileEntry &entry : entries) {
        FUZZ_CHECK(fs.FileExists(entry.name));
        if (!fs.FindFilePages(entry.name))
            continue;
        for (std::uint16_t page : std::vector<std::uint16_t>(fs.FilePages())) {
            std::uint8_t buffer[card::kDataBytes];
            std::uint16_t length = 0;
            if (fs.ReadDataPage(page, buffer, length))
                FUZZ_CHECK(length <= card::kDataBytes);
        }
        (void)fs.GetFileTime(entry.name);
    }
    (void)fs.ListFiles();

    // Save, then load, gives the same directory.
    const long long writesBefore = card.writes;
    if (!fs.SaveIndex())
        FUZZ_CHECK(card.writes == writesBefore);
    FUZZ_CHECK(Reload(card, box) == entries);
    if (entries.empty())
        return;

    // Deleting the first file, with the card's writes failing from some point
    // on when the input asks for it: the card holds the old directory or the
    // new one, nothing else.
    CardFileSystem deleting;
    deleting.BindReader(&card);
    deleting.SetMessageBox(&box);
    FUZZ_CHECK(deleting.LoadIndex());
    FUZZ_CHECK(deleting.DeleteFiles(entries.front().name));
    std::list<FileEntry> rest = entries;
    rest.pop_front();
    card.failFrom = failAfter < 0 ? -1 : card.writes + failAfter;
    const bool saved = deleting.SaveIndex();
    card.failFrom = -1;
    const std::list<FileEntry> after = Reload(card, box);
    FUZZ_CHECK(after == rest || (!saved && after == entries));

    // Deleting every file leaves an empty card.
    CardFileSystem emptying;
    emptying.BindReader(&card);
    emptying.SetMessageBox(&box);
    FUZZ_CHECK(emptying.LoadIndex());
    if (emptying.DeleteFiles("\\*.*") && emptying.FileEntries().empty() && emptying.SaveIndex()) {
        FUZZ_CHECK(Reload(card, box).empty());
        CardFileSystem empty;
        empty.BindReader(&card);
        FUZZ_CHECK(empty.LoadIndex() && empty.FirstIndexPage() == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const std::size_t textLength = std::min<std::size_t>(in.Word(), 4 * card::kIndexBytes * 4);
    const std::string_view text = in.Bytes(textLength);
    CheckTextRoundTrip(text);

    SparseCard card;
    Plant(card, text, in.Byte());
    // Below 64: the delete's writes fail after that many landed.
    const std::uint8_t fault = in.Byte();
    const long long failAfter = fault < 64 ? fault : -1;
    ApplyEdits(card, in);

    kelvara::testing::ScriptedMessageBox box; // every prompt is cancelled
    CardFileSystem fs;
    fs.BindReader(&card);
    fs.SetMessageBox(&box);
    const bool loaded = fs.LoadIndex();
    // At most every allocatable page once, and the backups.
    FUZZ_CHECK(card.walked <= card::kLastAllocatablePage);
    if (!loaded) {
        // Only repairs from sound backups may have been written.
        FUZZ_CHECK(card.writes <= 1 + card::kBackedUpIndexPages);
        return 0;
    }
    CheckLoadedCard(card, fs, box, failAfter);
    return 0;
}
