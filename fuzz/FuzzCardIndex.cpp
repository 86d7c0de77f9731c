// Fuzz target: the card's index text and LoadIndex over a card image.
//
// Input: two bytes (little-endian) give the length T of an index text, T
// bytes of text follow, then a byte that fills the bit table; the rest are
// page edits, each a page number (two bytes, taken modulo 2048), a flag byte
// (bit 0: give the page a sound checksum afterwards), an offset byte and a
// length byte followed by that many bytes laid over the page at the offset.
//
// The text is parsed on its own (a text that parses must serialise back to
// records that parse to the same directory) and planted as an index chain
// from page 3 with a bit table naming it; the edits then damage the card at
// will. Whatever the card holds, the load must end within the card's pages,
// and when it loads: no page the index names counts as free, saving then
// loading gives the same directory, every file can be read or refused, and
// deleting everything leaves an empty card that loads.
#include "fuzz/FuzzInput.h"
#include "kelvara/storage/CardFileSystem.h"
#include "kelvara/storage/PageCrc.h"
#include "sim/card/FlashCard.h"
#include "tests/support/ScriptedMessageBox.h"

#include <vector>

namespace {

using namespace kelvara;
using wqn::sim::FlashCard;

// Counts what a load reads and writes.
class CountingCard final : public PageDevice {
public:
    explicit CountingCard(FlashCard &card)
        : card_(card)
    {
    }
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        walked += page >= card::kFirstAllocatablePage && page <= card::kLastAllocatablePage ? 1 : 0;
        return card_.ReadBlock(page, offset, length, buffer);
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        ++writes;
        return card_.WriteBlock(page, offset, length, buffer);
    }
    long long walked = 0;
    long long writes = 0;

private:
    FlashCard &card_;
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

void Plant(FlashCard &card, std::string_view text, std::uint8_t bitmapByte)
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
        card.SetPage(int(3 + k), page);
    }
    std::fill(std::begin(page), std::end(page), std::uint8_t(0));
    std::fill(page, page + 254, bitmapByte);
    card::Put16(page + card::kFirstIndexOffset, std::uint16_t(chunks > 0 ? 3 : 0));
    card::Put16(page + card::kMarkerOffset, card::kFormatMarker);
    Seal(page);
    card.SetPage(card::kBitTablePage, page);
    card.SetPage(card::kBitTableBackupPage, page);
}

void ApplyEdits(FlashCard &card, fuzz::Input &in)
{
    while (!in.Empty()) {
        const int number = in.Word() % card::kPageCount;
        const std::uint8_t flags = in.Byte();
        const std::size_t offset = in.Byte();
        const std::string_view bytes = in.Bytes(std::min<std::size_t>(in.Byte(), card::kPageSize - offset));
        std::uint8_t page[card::kPageSize];
        std::copy(card.Page(number), card.Page(number) + card::kPageSize, page);
        std::copy(bytes.begin(), bytes.end(), page + offset);
        if (flags & 1)
            Seal(page);
        card.SetPage(number, page);
    }
}

void CheckLoadedCard(FlashCard &card, CardFileSystem &fs, kelvara::testing::ScriptedMessageBox &box)
{
    const std::list<FileEntry> entries = fs.FileEntries();
    for (std::uint16_t page : fs.StoredChainPages())
        FUZZ_CHECK(!fs.PageIsFree(page));
    for (const FileEntry &entry : entries) {
        for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages))
            FUZZ_CHECK(page >= card::kFirstAllocatablePage && page <= card::kLastAllocatablePage &&
                       !fs.PageIsFree(page));
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
    const long long writesBefore = card.TotalWrites();
    if (!fs.SaveIndex())
        FUZZ_CHECK(card.TotalWrites() == writesBefore);
    CardFileSystem again;
    again.BindReader(&card);
    again.SetMessageBox(&box);
    FUZZ_CHECK(again.LoadIndex());
    FUZZ_CHECK(again.FileEntries() == entries);

    // Deleting every file leaves an empty card.
    if (!entries.empty() && again.DeleteFiles("\\*.*") && again.FileEntries().empty() && again.SaveIndex()) {
        CardFileSystem empty;
        empty.BindReader(&card);
        empty.SetMessageBox(&box);
        FUZZ_CHECK(empty.LoadIndex());
        FUZZ_CHECK(empty.FileEntries().empty());
        FUZZ_CHECK(empty.FirstIndexPage() == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const std::size_t textLength = std::min<std::size_t>(in.Word(), 4 * card::kIndexBytes * 4);
    const std::string_view text = in.Bytes(textLength);
    CheckTextRoundTrip(text);

    FlashCard card;
    Plant(card, text, in.Byte());
    ApplyEdits(card, in);
    card.ResetCounters();

    kelvara::testing::ScriptedMessageBox box; // every prompt is cancelled
    CountingCard counting(card);
    CardFileSystem fs;
    fs.BindReader(&counting);
    fs.SetMessageBox(&box);
    const bool loaded = fs.LoadIndex();
    // At most every allocatable page once, and the backups.
    FUZZ_CHECK(counting.walked <= card::kLastAllocatablePage);
    if (!loaded) {
        // Only repairs from sound backups may have been written.
        FUZZ_CHECK(counting.writes <= 1 + card::kBackedUpIndexPages);
        return 0;
    }
    fs.BindReader(&card);
    CheckLoadedCard(card, fs, box);
    return 0;
}
