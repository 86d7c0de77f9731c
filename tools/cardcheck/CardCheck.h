// Checking a card's file system from its pages alone: what every page holds
// and every kind of damage, in words a user can act on. The check reads pages
// through a PageSource and never writes; fsck, the card map, df and the repair
// plan are all built from its report.
#pragma once

#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageDevice.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvara::check {

using PageImage = std::array<std::uint8_t, card::kPageSize>;

// Where the check takes a page's 264 bytes from; nullptr when the page cannot
// be read. A page asked for twice yields the same bytes.
class PageSource {
public:
    virtual ~PageSource() = default;
    virtual const std::uint8_t *Page(int page) = 0;
};

// A whole card image held in memory (540,672 bytes, page 0 first).
class ImagePages final : public PageSource {
public:
    explicit ImagePages(std::vector<std::uint8_t> image); // a short image reads as unreadable pages
    void MarkUnreadable(int page);
    const std::uint8_t *Page(int page) override;

private:
    std::vector<std::uint8_t> image_;
    std::vector<bool> unreadable_;
};

// Pages read from a device the first time they are asked for, then kept, so
// that on a card each page crosses the line at most once. `onRead` hears of
// every page actually read (for progress reports).
class DevicePages final : public PageSource {
public:
    explicit DevicePages(PageDevice &device, std::function<void(int page)> onRead = {});
    const std::uint8_t *Page(int page) override;
    // Every page the device could not give.
    std::vector<int> UnreadablePages() const;

private:
    enum class State : std::uint8_t { NotRead, Read, Failed };
    PageDevice &device_;
    std::function<void(int)> onRead_;
    std::vector<std::uint8_t> cache_;
    std::array<State, card::kPageCount> state_{};
};

// What a page holds, as far as the file system's own records tell.
enum class Role : std::uint8_t {
    Unknown, // no sound bit table: nothing says what the page holds
    Free, // free in the bitmap and owned by nothing
    BitTable, // page 0
    BitTableBackup, // page 2047
    Index, // a page of the index chain
    IndexBackup, // 2032 + k, backing up chain position k
    SpareBackup, // a page of the backup area the chain does not reach
    File, // a data page of a file
    Leaked, // in use in the bitmap, owned by nothing
};

// Damage marks of one page (several may apply).
namespace damage {
inline constexpr unsigned kUnreadable = 1u << 0; // the device could not read it
inline constexpr unsigned kBadChecksum = 1u << 1;
inline constexpr unsigned kBadLength = 1u << 2; // a length field no page can hold
inline constexpr unsigned kDiffers = 1u << 3; // a sound backup that differs from its sound primary
inline constexpr unsigned kShared = 1u << 4; // claimed by two owners
inline constexpr unsigned kMarkedFree = 1u << 5; // owned, but free in the bitmap
inline constexpr unsigned kBadLink = 1u << 6; // the chain leads here although no index page can be here
inline constexpr unsigned kBadRecord = 1u << 7; // an index page where a record that cannot be parsed starts
} // namespace damage

struct PageInfo {
    Role role = Role::Unknown;
    int file = -1; // index into CardReport::files for Role::File
    int part = -1; // position of the page in that file, from 0
    unsigned damage = 0;
};

enum class Kind {
    NotFormatted, // a blank or foreign card: a notice, not damage
    DamagedPage, // a bit-table or index page, or one of their backups, unreadable or with a bad checksum
    BackupDiffers, // a primary and its backup both sound but different
    BrokenChain, // the index chain leads where no index page can be, loops, or holds an impossible length
    BadRecord, // an index record that cannot be parsed
    SharedPage, // a page claimed by two files, or by a file and the index
    MarkedFree, // pages a file (or the index) owns that the bitmap calls free
    LeakedPages, // pages the bitmap calls used that nothing owns
    BadDataPage, // a data page unreadable, with a bad checksum or a bad length
};

// Short stable names of the kinds ("damaged-page", ...), used in JSON.
const char *KindName(Kind kind);
const char *RoleName(Role role);

struct Finding {
    Kind kind;
    std::string text; // plain words, one sentence or two
    std::vector<int> pages;
    std::string file; // the card path concerned, if any
    bool mendable = false; // a repair can mend it from what the card itself proves
};

struct FileReport {
    std::string name; // card path
    std::string time; // as stored
    std::vector<std::uint16_t> pages;
    long long size = 0; // sum of the lengths of its sound data pages
    bool pagesKnown = true; // its record gave a page list that can be decoded
    bool intact = true; // every data page sound and owned by it alone
};

// The figures of `df`: allocatable pages (1 to 2031) and what holds them.
struct Figures {
    int cardPages = card::kPageCount;
    int totalPages = card::kLastAllocatablePage; // pages 1..2031
    int usedPages = 0;
    int freePages = 0;
    int indexPages = 0;
    int filePages = 0;
    int files = 0;
    long long fileBytes = 0;
};

// One link of the index chain as found.
struct ChainLink {
    int page = 0;
    int backup = -1; // 2032 + position, or -1 beyond position 14
    bool primarySound = false;
    bool backupSound = false;
    bool backupSame = false; // both sound and byte for byte equal
};

struct CardReport {
    bool formatted = false; // a sound bit table with the format marker was found
    bool indexSound = false; // the whole chain read and every record parsed: ownership is known
    bool indexLoads = false; // the whole chain read and the file system's own load accepts its text
    int bitTableFrom = -1; // page the bit table was taken from (0 or 2047), -1 none
    std::array<std::uint8_t, card::kBitmapBytes> bitmap{}; // as on the card (bytes 254-255 included)
    std::uint16_t firstIndexPage = 0;
    std::vector<ChainLink> chain;
    std::vector<FileReport> files;
    std::array<PageInfo, card::kPageCount> pages{};
    std::vector<Finding> findings;
    Figures figures;

    // No damage at all (a notice that the card is not formatted is no damage).
    bool Clean() const;
    int DamageCount() const;
    // The page is free in the bitmap (bytes 254-255 always count as in use).
    bool BitmapFree(int page) const;
};

CardReport CheckCard(PageSource &pages);

// "1,234,567": a count with its thousands grouped.
std::string GroupDigits(long long n);

// "1 page", "2,031 pages": a count and its noun, plural when it is not one.
std::string Counted(long long n, const std::string &noun);

// "40-42, 57": page numbers in ascending runs.
std::string PageRanges(std::vector<int> pages);

// Text safe for any output: valid UTF-8 passes, other bytes and control
// characters (C0, DEL and C1) become \xNN.
std::string Printable(const std::string &bytes);

} // namespace kelvara::check
