// Hostile card images: every structural field out of range, looping chains,
// lengths past the page, files sharing pages, a bit table that contradicts
// the index, records without "*", and seeded random images with sound
// checksums. Every export must give a defined result, walk at most the card's
// pages, and write nothing but what its rules write (the repair of a damaged
// page from its sound backup, or the change the export was asked for).
#include "tests/storage/CardFixture.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"

#include <functional>
#include <map>
#include <set>

namespace kelvara::testing {
namespace {

using wqn::sim::FlashCard;

// Gives every page written a sound checksum.
void Seal(FlashCard &card, int page, std::vector<std::uint8_t> bytes)
{
    bytes.resize(card::kPageSize);
    card::Put32(bytes.data() + card::kCrcOffset, PageCrc().ComputeCrc(bytes.data(), card::kCheckedBytes));
    card.SetPage(page, bytes.data());
}

std::vector<std::uint8_t> BitTable(std::uint16_t firstIndex, std::uint8_t fill = 0xFF,
                                   std::uint16_t marker = card::kFormatMarker)
{
    std::vector<std::uint8_t> page(card::kPageSize, 0);
    std::fill_n(page.begin(), 254, fill);
    card::Put16(page.data() + card::kFirstIndexOffset, firstIndex);
    card::Put16(page.data() + card::kMarkerOffset, marker);
    return page;
}

std::vector<std::uint8_t> IndexPage(const std::string &text, std::uint16_t length, std::uint16_t next)
{
    std::vector<std::uint8_t> page(card::kPageSize, 0);
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 256), page.begin());
    card::Put16(page.data() + card::kIndexLengthOffset, length);
    card::Put16(page.data() + card::kNextIndexOffset, next);
    return page;
}

std::vector<std::uint8_t> DataPage(const std::string &bytes, std::uint16_t length)
{
    std::vector<std::uint8_t> page(card::kPageSize, 0);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), 258), page.begin());
    card::Put16(page.data() + card::kDataLengthOffset, length);
    return page;
}

// Watches the transfers of one export: how many pages it read, and whether
// each write is one the rules allow a reading operation to make (page 0
// restored from page 2047, an index page restored from a sound backup).
class WatchedCard final : public PageDevice {
public:
    explicit WatchedCard(FlashCard &card)
        : card_(card)
    {
    }
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        ++reads;
        walked += page >= card::kFirstAllocatablePage && page <= card::kLastAllocatablePage ? 1 : 0;
        return card_.ReadBlock(page, offset, length, buffer);
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        ++writes;
        if (!IsRepair(page, offset, length, buffer))
            ++otherWrites;
        return card_.WriteBlock(page, offset, length, buffer);
    }
    long long reads = 0, walked = 0, writes = 0, otherWrites = 0;

private:
    bool IsRepair(int page, int offset, int length, const std::uint8_t *buffer) const
    {
        if (offset != 0 || length != card::kPageSize)
            return false;
        const auto same = [&](int source) { return std::equal(buffer, buffer + length, card_.Page(source)); };
        if (page == card::kBitTablePage)
            return same(card::kBitTableBackupPage);
        if (page < card::kFirstAllocatablePage || page > card::kLastAllocatablePage)
            return false;
        for (int backup = card::kIndexBackupBase; backup < card::kBitTableBackupPage; ++backup) {
            if (same(backup) && PageCrc().ComputeCrc(buffer, card::kCheckedBytes) == card::Get32(buffer + 260))
                return true;
        }
        return false;
    }

    FlashCard &card_;
};

class HostileImage : public CardTest {
protected:
    // Every export over the card as it stands; `what` names the image.
    void Survives(const std::string &what)
    {
        SCOPED_TRACE(what);
        const std::vector<std::uint8_t> image = card.Image();
        std::optional<std::list<FileEntry>> directory;
        bool formatted = false;
        {
            WatchedCard watched(card);
            CardFileSystem fs;
            fs.BindReader(&watched);
            fs.SetMessageBox(&box);
            if (fs.LoadIndex()) {
                directory = fs.FileEntries();
                formatted = fs.IsFormatted();
                EXPECT_LE(fs.StoredChainPages().size(), 2031u);
            }
            // Page 0 and its backup, then the chain with a backup for each.
            EXPECT_LE(watched.walked, 2031);
            EXPECT_LE(watched.reads, 2 + 2 * 2031);
            EXPECT_EQ(watched.otherWrites, 0);
        }
        const auto loadsAsBefore = [&](const char *after) {
            CardFileSystem fs;
            fs.BindReader(&card);
            fs.SetMessageBox(&box);
            const bool loads = fs.LoadIndex();
            EXPECT_EQ(loads, directory.has_value()) << after;
            if (loads && directory) {
                EXPECT_TRUE(fs.FileEntries() == *directory) << after;
            }
        };

        const auto reading = [&](const char *name, const std::function<int()> &call, std::set<int> results) {
            card.SetImage(image);
            card.ResetCounters();
            const int result = call();
            EXPECT_TRUE(results.count(result) != 0) << name << " gave " << result;
            loadsAsBefore(name);
        };
        std::string text;
        std::map<std::string, std::string> expected; // local file name -> content
        const std::string listing = (out.path() / "listing.txt").string();
        reading("IsFormat", [&] { return fs_calls::IsFormat(fs); }, {0, -1});
        reading("DirIcFiles", [&] { return fs_calls::DirIcFiles(fs, listing); }, {1, -1});
        reading("FileTime", [&] { return fs_calls::FileTime(fs, "a", text); }, {0, -1});
        reading("Test", [&] { return fs_calls::Test(fs, box); }, {0, -1});
        reading("GetBitTable", [&] { return fs_calls::GetBitTable(fs, listing); }, {1, 0});
        reading("ReadIcFiles", [&] { return fs_calls::ReadIcFiles(fs, out.WithSlash(), "\\*.*", text); }, {0, -1});
        if (!text.empty() && directory) {
            // What was copied is exactly what the card's pages hold.
            for (const FileEntry &entry : *directory) {
                const FileEntry &read = *std::find_if(directory->begin(), directory->end(), [&](const FileEntry &e) {
                    return EqualsNoCase(e.name, entry.name);
                });
                std::string content;
                for (std::uint16_t page : CardFileSystem::UnpackPages(read.pages)) {
                    const std::uint16_t length = card::Get16(card.Page(page) + card::kDataLengthOffset);
                    ASSERT_LE(length, card::kDataBytes) << "a page too long for a data page was read";
                    content.append(reinterpret_cast<const char *>(card.Page(page)), length);
                }
                expected[CardFileSystem::FileNameOf(read.name)] = content;
            }
            for (const auto &[name, content] : expected)
                EXPECT_EQ(ReadLocal(out.path() / name), content) << name;
        }

        // A card that does not load is refused by the changing exports too,
        // and nothing beyond repairs reaches it.
        const auto changing = [&](const char *name, const std::function<int()> &call) {
            card.SetImage(image);
            WatchedCard watched(card);
            fs.BindReader(&watched);
            const int result = call();
            fs.BindReader(&card);
            EXPECT_TRUE(result == 0 || result == -1) << name << " gave " << result;
            if (!directory) {
                EXPECT_EQ(result, -1) << name;
                EXPECT_EQ(watched.otherWrites, 0) << name;
            }
            ExpectSaveLoadKeepsDirectory(card, std::string(what) + ", after " + name);
        };
        WriteLocal(local.path() / "new.txt", Pattern(700, 9));
        changing("WriteIcFiles", [&] { return fs_calls::WriteIcFiles(fs, "", (local.path() / "new.txt").string()); });
        changing("DelIcFiles", [&] { return fs_calls::DelIcFiles(fs, "\\*.*"); });
        if (directory && formatted && !directory->empty()) {
            // Deleting one file leaves the others as they were.
            card.SetImage(image);
            const std::string first = directory->front().name;
            if (fs_calls::DelIcFiles(fs, first) == 0) {
                CardFileSystem after;
                after.BindReader(&card);
                ASSERT_TRUE(after.LoadIndex());
                std::list<FileEntry> expected = *directory;
                expected.erase(std::find_if(expected.begin(), expected.end(),
                                            [&](const FileEntry &e) { return EqualsNoCase(e.name, first); }));
                EXPECT_TRUE(after.FileEntries() == expected);
            }
        }
        card.SetImage(image);
    }
};

TEST_F(HostileImage, BitTableFieldsOutOfRange)
{
    for (const std::uint16_t first : {0, 1, 2031, 2032, 2046, 2047, 2048, 4095, 0x8000, 0xFFFF}) {
        card.Erase();
        Seal(card, 0, BitTable(first));
        Seal(card, 2047, BitTable(first));
        Survives("first index page " + std::to_string(first));
    }
    for (const std::uint16_t marker : {0x0000, 0xCDAB, 0xABCC, 0xFFFF}) {
        card.Erase();
        Seal(card, 0, BitTable(0, 0xFF, marker));
        Survives("marker " + std::to_string(marker));
    }
    // A bit table that calls every page in use, or none.
    for (const std::uint8_t fill : {0x00, 0xFF}) {
        card.Erase();
        Seal(card, 0, BitTable(0, fill));
        std::vector<std::uint8_t> page(card::kPageSize, 0);
        page[254] = page[255] = 0xFF; // the backup area claimed free
        std::fill_n(page.begin(), 254, fill);
        card::Put16(page.data() + card::kMarkerOffset, card::kFormatMarker);
        Seal(card, 0, page);
        Survives("bit table filled with " + std::to_string(fill));
    }
    // Only the backup sound, the primary torn.
    card.Erase();
    Seal(card, 2047, BitTable(0));
    Survives("page 0 blank, backup sound");
    card.Erase();
    card.SetImage(std::vector<std::uint8_t>(FlashCard::kImageSize, 0x00));
    Survives("a card of zero bytes");
}

TEST_F(HostileImage, IndexPagesOutOfRange)
{
    const std::string record = Record("\\a", std::string("\x00\x10", 2));
    for (const std::uint16_t length : {0, 1, 2, 255, 256, 257, 300, 0xFFFF}) {
        card.Erase();
        Seal(card, 0, BitTable(3, 0xF1));
        Seal(card, 3, IndexPage(record + std::string(300, 'x'), length, 0));
        Seal(card, 1, DataPage("1", 1));
        Survives("index length " + std::to_string(length));
    }
    for (const std::uint16_t next : {0, 1, 3, 2031, 2032, 2047, 2048, 0xFFFF}) {
        card.Erase();
        Seal(card, 0, BitTable(3, 0xF1));
        Seal(card, 3, IndexPage(record, static_cast<std::uint16_t>(record.size()), next));
        Seal(card, 1, DataPage("1", 1));
        Survives("next index page " + std::to_string(next));
    }
    // A two-cycle, and a long chain that comes back to its third page.
    card.Erase();
    Seal(card, 0, BitTable(3, 0x00));
    Seal(card, 3, IndexPage(record, static_cast<std::uint16_t>(record.size()), 4));
    Seal(card, 4, IndexPage("", 0, 3));
    Survives("two-cycle");
    const struct {
        std::uint16_t afterLast; // the next index page the last one names
        const char *what;
    } chains[] = {{3, "a chain through every page, looping back"}, {0, "a chain through every page"}};
    for (const auto &chain : chains) {
        card.Erase();
        Seal(card, 0, BitTable(1, 0x00));
        for (int page = 1; page <= 2031; ++page)
            Seal(card, page, IndexPage("", 0, page == 2031 ? chain.afterLast : static_cast<std::uint16_t>(page + 1)));
        Survives(chain.what);
    }
    // A damaged first index page whose backup is damaged too and says 300 bytes.
    card.Erase();
    Seal(card, 0, BitTable(3, 0xF1));
    std::vector<std::uint8_t> backup = IndexPage(record, 300, 0);
    card.SetPage(2032, backup.data()); // no sound checksum
    Survives("index page and backup damaged");
}

TEST_F(HostileImage, RecordsOutOfRange)
{
    const auto plant = [&](const std::string &text) {
        card.Erase();
        PlantIndex(card, text, {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 0x00);
        Seal(card, 1, DataPage("one", 3));
        Seal(card, 2, DataPage("two", 3));
    };
    const std::string one = std::string("\x00\x10", 2);
    const struct {
        const char *what;
        std::string text;
    } cases[] = {
        {"length 0", std::string("\x00\x00", 2) + Record("\\a", one)},
        {"length 16", std::string("\x01\x00", 2) + std::string(20, 'x')},
        {"length past the text", Record("\\a", one).substr(0, 20)},
        {"length 4095", std::string("\xFF\xF0", 2) + std::string(4093, 'n')},
        {"low header bits set", std::string("\x01\xAF", 2) + "\\a.txt*20240102030405" + std::string("\x00\x10\x02", 3)},
        {"one trailing byte", Record("\\a", one) + "x"},
        {"page list 3k+1", Record("\\a", std::string("\x00\x10\x02\x00", 4))},
        {"page 0", Record("\\a", std::string("\x00\x00", 2))},
        {"page 2032", Record("\\a", std::string("\x7F\x00", 2))},
        {"page 4095", Record("\\a", std::string("\xFF\xF0", 2))},
        {"no separator", std::string("\x01\x40", 2) + std::string(18, 'n')},
        {"separator in the time", Record("\\a", one, "2024*102030405")},
        {"short time", Record("\\a", "", "2024")},
        {"empty name", Record("", one)},
        {"name with zero bytes", Record(std::string("\\a\0b", 4), one)},
        {"names that escape", Record("\\..", one) + Record("\\a/../../b", one) + Record("\\c:", one)},
        {"two files sharing a page",
         Record("\\a", std::string("\x00\x10\x02", 3)) + Record("\\b", std::string("\x00\x20\x01", 3))},
        {"one file naming a page twice", Record("\\a", std::string("\x00\x10\x01", 3))},
        {"a file on an index page", Record("\\a", std::string("\x00\x30", 2))},
        {"the same name twice", Record("\\a", one) + Record("\\A", std::string("\x00\x20", 2))},
    };
    for (const auto &c : cases) {
        plant(c.text);
        Survives(c.what);
    }
}

TEST_F(HostileImage, DataPagesOutOfRange)
{
    for (const std::uint16_t length : {0, 1, 258, 259, 0xFFFF}) {
        card.Erase();
        PlantIndex(card, Record("\\a", std::string("\x00\x10\x02", 3)), {3}, 0x00);
        Seal(card, 1, DataPage(std::string(258, 'd'), length));
        Seal(card, 2, DataPage("end", 3));
        Survives("data length " + std::to_string(length));
    }
    card.Erase();
    PlantIndex(card, Record("\\a", std::string("\x00\x10\x02", 3)), {3}, 0x00);
    Seal(card, 1, DataPage("x", 1));
    card.CorruptPage(1, 0);
    Survives("data page with a wrong checksum");
}

// Seeded random images whose pages all carry sound checksums: a random first
// index page, random links, lengths and index text made of plausible and
// random records, random page lists.
TEST_F(HostileImage, SeededRandomImages)
{
    std::mt19937 random(20240102);
    const auto below = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
    for (int round = 0; round < 300; ++round) {
        card.Erase();
        const unsigned chainLength = 1 + below(5);
        std::vector<std::uint16_t> chain;
        for (unsigned i = 0; i < chainLength; ++i)
            chain.push_back(static_cast<std::uint16_t>(below(8) == 0 ? below(4096) : 1 + below(40)));
        std::string text;
        while (text.size() < 256 * chainLength) {
            std::string pages;
            for (unsigned n = below(6); n > 0; --n)
                pages.push_back(static_cast<char>(below(8) == 0 ? below(256) : below(3)));
            std::string name = "\\" + std::string(1 + below(8), static_cast<char>('a' + below(26)));
            if (below(4) == 0)
                name += std::string(1, static_cast<char>(below(256)));
            std::string record = Record(name, pages, below(6) == 0 ? "2024" : "20240102030405");
            if (below(10) == 0)
                record[below(static_cast<unsigned>(record.size()))] = static_cast<char>(below(256));
            text += record;
        }
        for (unsigned i = 0; i < chainLength; ++i) {
            const std::uint16_t next =
                i + 1 < chainLength ? chain[i + 1] : static_cast<std::uint16_t>(below(3) == 0 ? below(4096) : 0);
            const std::uint16_t length = static_cast<std::uint16_t>(below(10) == 0 ? below(600) : 256);
            if (chain[i] < card::kPageCount)
                Seal(card, chain[i], IndexPage(text.substr(256 * i), length, next));
            if (below(3) == 0 && i < 15)
                Seal(card, 2032 + static_cast<int>(i), IndexPage(text.substr(256 * i), length, next));
        }
        for (int page = 1; page <= 45; ++page) {
            if (std::find(chain.begin(), chain.end(), page) == chain.end())
                Seal(card, page,
                     DataPage(std::string(258, static_cast<char>(page)), static_cast<std::uint16_t>(below(300))));
        }
        Seal(card, 0, BitTable(chain[0], static_cast<std::uint8_t>(below(256))));
        if (below(4) == 0)
            card.CorruptPage(0, static_cast<int>(below(264)));
        Seal(card, 2047, BitTable(chain[below(chainLength)], static_cast<std::uint8_t>(below(256))));
        Survives("random image " + std::to_string(round));
        if (HasFailure())
            break;
    }
}

} // namespace
} // namespace kelvara::testing
