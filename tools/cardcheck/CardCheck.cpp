// The card check: bit table, index chain, records, data pages and bitmap, in
// the order the file system itself reads them.
#include "tools/cardcheck/CardCheck.h"

#include "kelvara/card/PageCrc.h"
#include "kelvara/storage/CardFileSystem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <set>

namespace kelvara::check {

using namespace card;

// --- page sources -----------------------------------------------------------

ImagePages::ImagePages(std::vector<std::uint8_t> image)
    : image_(std::move(image)),
      unreadable_(kPageCount, false)
{
}

void ImagePages::MarkUnreadable(int page)
{
    if (page >= 0 && page < kPageCount)
        unreadable_[static_cast<std::size_t>(page)] = true;
}

const std::uint8_t *ImagePages::Page(int page)
{
    if (page < 0 || page >= kPageCount || unreadable_[static_cast<std::size_t>(page)])
        return nullptr;
    const std::size_t offset = static_cast<std::size_t>(page) * kPageSize;
    if (offset + kPageSize > image_.size())
        return nullptr;
    return image_.data() + offset;
}

DevicePages::DevicePages(PageDevice &device, std::function<void(int)> onRead)
    : device_(device),
      onRead_(std::move(onRead)),
      cache_(static_cast<std::size_t>(kPageCount) * kPageSize, 0)
{
}

const std::uint8_t *DevicePages::Page(int page)
{
    if (page < 0 || page >= kPageCount)
        return nullptr;
    State &state = state_[static_cast<std::size_t>(page)];
    std::uint8_t *bytes = cache_.data() + static_cast<std::size_t>(page) * kPageSize;
    if (state == State::NotRead) {
        state = device_.ReadBlock(page, 0, kPageSize, bytes) ? State::Read : State::Failed;
        if (onRead_)
            onRead_(page);
    }
    return state == State::Read ? bytes : nullptr;
}

std::vector<int> DevicePages::UnreadablePages() const
{
    std::vector<int> pages;
    for (int p = 0; p < kPageCount; ++p) {
        if (state_[static_cast<std::size_t>(p)] == State::Failed)
            pages.push_back(p);
    }
    return pages;
}

// --- names and words --------------------------------------------------------

const char *KindName(Kind kind)
{
    switch (kind) {
    case Kind::NotFormatted:
        return "not-formatted";
    case Kind::DamagedPage:
        return "damaged-page";
    case Kind::BackupDiffers:
        return "backup-differs";
    case Kind::BrokenChain:
        return "broken-chain";
    case Kind::BadRecord:
        return "bad-record";
    case Kind::SharedPage:
        return "shared-page";
    case Kind::MarkedFree:
        return "marked-free";
    case Kind::LeakedPages:
        return "leaked-pages";
    case Kind::BadDataPage:
        return "bad-data-page";
    }
    return "unknown";
}

const char *RoleName(Role role)
{
    switch (role) {
    case Role::Unknown:
        return "unknown";
    case Role::Free:
        return "free";
    case Role::BitTable:
        return "bit-table";
    case Role::BitTableBackup:
        return "bit-table-backup";
    case Role::Index:
        return "index";
    case Role::IndexBackup:
        return "index-backup";
    case Role::SpareBackup:
        return "spare-backup";
    case Role::File:
        return "file";
    case Role::Leaked:
        return "leaked";
    }
    return "unknown";
}

std::string GroupDigits(long long n)
{
    const std::string digits = std::to_string(n);
    const std::size_t first = digits[0] == '-' ? 1 : 0;
    std::string out = digits.substr(0, first);
    for (std::size_t i = first; i < digits.size(); ++i) {
        if (i > first && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string Counted(long long n, const std::string &noun) { return GroupDigits(n) + " " + noun + (n == 1 ? "" : "s"); }

std::string PageRanges(std::vector<int> pages)
{
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    std::string out;
    for (std::size_t i = 0; i < pages.size();) {
        std::size_t j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        if (!out.empty())
            out += ", ";
        out += std::to_string(pages[i]);
        if (j > i)
            out += "-" + std::to_string(pages[j]);
        i = j + 1;
    }
    return out;
}

std::string Printable(const std::string &bytes)
{
    std::string out;
    const auto escape = [&](unsigned char c) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence passes whole (no overlong forms, no
        // surrogates, nothing above U+10FFFF).
        std::size_t n = 0;
        unsigned lowest = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            lowest = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            lowest = 0x10000;
        }
        bool ok = n != 0 && i + n <= bytes.size();
        unsigned code = n == 2 ? (c & 0x1Fu) : n == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            ok = (t & 0xC0) == 0x80;
            code = (code << 6) | (t & 0x3Fu);
        }
        ok = ok && code >= lowest && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        // The C1 controls (U+0080 to U+009F) steer some terminals as the C0 ones do.
        ok = ok && !(code >= 0x80 && code <= 0x9F);
        if (!ok) {
            escape(c);
            ++i;
            continue;
        }
        out.append(bytes, i, n);
        i += n;
    }
    return out;
}

// --- the report ---------------------------------------------------------------

bool CardReport::Clean() const { return DamageCount() == 0; }

int CardReport::DamageCount() const
{
    return static_cast<int>(
        std::count_if(findings.begin(), findings.end(), [](const Finding &f) { return f.kind != Kind::NotFormatted; }));
}

bool CardReport::BitmapFree(int page) const
{
    if (page < 0 || page >= kIndexBackupBase)
        return false;
    return ((bitmap[static_cast<std::size_t>(page / 8)] >> (page % 8)) & 1u) != 0;
}

namespace {

enum class PageState { Unreadable, BadChecksum, Sound };

bool IsAllocatable(unsigned page) { return page >= kFirstAllocatablePage && page <= kLastAllocatablePage; }

const char *StateWords(PageState state)
{
    return state == PageState::Unreadable ? "cannot be read" : "has a bad checksum";
}

class Checker {
public:
    Checker(PageSource &source, CardReport &report)
        : source_(source),
          r_(report)
    {
    }

    void Run()
    {
        if (!BitTable())
            return;
        Chain();
        Records();
        Loads();
        Ownership();
        DataPages();
        Bitmap();
        Figures();
    }

private:
    PageState StateOf(const std::uint8_t *page) const
    {
        if (page == nullptr)
            return PageState::Unreadable;
        return crc_.ComputeCrc(page, kCheckedBytes) == Get32(page + kCrcOffset) ? PageState::Sound
                                                                                : PageState::BadChecksum;
    }

    void Mark(int page, PageState state)
    {
        if (state == PageState::Unreadable)
            r_.pages[static_cast<std::size_t>(page)].damage |= damage::kUnreadable;
        else if (state == PageState::BadChecksum)
            r_.pages[static_cast<std::size_t>(page)].damage |= damage::kBadChecksum;
    }

    void Add(Kind kind, std::string text, std::vector<int> pages, bool mendable, std::string file = {})
    {
        r_.findings.push_back({kind, std::move(text), std::move(pages), std::move(file), mendable});
    }

    static bool Blank(const std::uint8_t *page)
    {
        return page != nullptr && std::all_of(page, page + kPageSize, [](std::uint8_t b) { return b == 0xFF; });
    }

    // Page 0 and its backup. False when there is no sound, formatted bit
    // table to go on from.
    bool BitTable()
    {
        r_.pages[kBitTablePage].role = Role::BitTable;
        r_.pages[kBitTableBackupPage].role = Role::BitTableBackup;
        for (int p = kIndexBackupBase; p < kBitTableBackupPage; ++p)
            r_.pages[static_cast<std::size_t>(p)].role = Role::SpareBackup;

        const std::uint8_t *primary = source_.Page(kBitTablePage);
        const std::uint8_t *backup = source_.Page(kBitTableBackupPage);
        const PageState p = StateOf(primary), b = StateOf(backup);
        Mark(kBitTablePage, p);
        Mark(kBitTableBackupPage, b);

        if (p != PageState::Sound && b != PageState::Sound) {
            if (Blank(primary) && Blank(backup)) {
                Add(Kind::NotFormatted, "the card is blank: it has never been formatted", {}, false);
                r_.pages[kBitTablePage].damage = 0;
                r_.pages[kBitTableBackupPage].damage = 0;
            } else {
                Add(Kind::DamagedPage,
                    std::string("page 0 (the bit table) ") + StateWords(p) + " and its backup in page 2047 " +
                        StateWords(b) + " too: the card's directory cannot be found",
                    {kBitTablePage, kBitTableBackupPage}, false);
            }
            return false;
        }
        const std::uint8_t *table = p == PageState::Sound ? primary : backup;
        r_.bitTableFrom = p == PageState::Sound ? kBitTablePage : kBitTableBackupPage;
        const bool marked = Get16(table + kMarkerOffset) == kFormatMarker;

        if (p != PageState::Sound) {
            Add(Kind::DamagedPage,
                std::string("page 0 (the bit table) ") + StateWords(p) +
                    "; its backup in page 2047 is intact and can restore it",
                {kBitTablePage}, marked);
        } else if (b != PageState::Sound) {
            // Without the format marker, page 0 may be a stray raw write over a
            // formatted card; its content is then no proof of anything.
            Add(Kind::DamagedPage,
                std::string("page 2047 (the backup of the bit table) ") + StateWords(b) +
                    (marked ? "; it can be rewritten from page 0" : ""),
                {kBitTableBackupPage}, marked);
        } else if (std::memcmp(primary, backup, kPageSize) != 0) {
            r_.pages[kBitTableBackupPage].damage |= damage::kDiffers;
            Add(Kind::BackupDiffers,
                std::string("page 2047 (the backup of the bit table) differs from page 0") +
                    (marked ? "; page 0 is the one in force and the backup can be rewritten from it" : ""),
                {kBitTableBackupPage}, marked);
        }
        if (!marked) {
            Add(Kind::NotFormatted, "the card is not formatted: its bit table carries no format marker", {}, false);
            return false;
        }
        r_.formatted = true;
        std::memcpy(r_.bitmap.data(), table, kBitmapBytes);
        r_.firstIndexPage = Get16(table + kFirstIndexOffset);
        return true;
    }

    // The chain of index pages, each with its backup, as the file system
    // walks it: a damaged primary is read from a sound backup.
    void Chain()
    {
        chainComplete_ = true;
        std::set<unsigned> visited;
        unsigned page = r_.firstIndexPage;
        int position = 0;
        while (page != 0) {
            if (page >= kPageCount) {
                const std::string from = chainPrevious_ == 0
                    ? std::string("the bit table names page ")
                    : "index page " + std::to_string(chainPrevious_) + " links to page ";
                Add(Kind::BrokenChain,
                    from + std::to_string(page) +
                        ", which does not exist; the file system takes it as the end of the index",
                    {chainPrevious_}, false);
                break;
            }
            if (!IsAllocatable(page)) {
                r_.pages[page].damage |= damage::kBadLink;
                Add(Kind::BrokenChain,
                    "the index chain leads to page " + std::to_string(page) +
                        ", where no index page can be; the card cannot be loaded",
                    {static_cast<int>(page)}, false);
                chainComplete_ = false;
                break;
            }
            if (!visited.insert(page).second) {
                r_.pages[page].damage |= damage::kBadLink;
                Add(Kind::BrokenChain,
                    "the index chain loops back to page " + std::to_string(page) + "; the card cannot be loaded",
                    {static_cast<int>(page)}, false);
                chainComplete_ = false;
                break;
            }
            ChainLink link;
            link.page = static_cast<int>(page);
            const std::uint8_t *primary = source_.Page(link.page);
            const PageState p = StateOf(primary);
            Mark(link.page, p);
            link.primarySound = p == PageState::Sound;
            const std::uint8_t *backup = nullptr;
            PageState b = PageState::Unreadable;
            if (position < kBackedUpIndexPages) {
                link.backup = kIndexBackupBase + position;
                r_.pages[static_cast<std::size_t>(link.backup)].role = Role::IndexBackup;
                backup = source_.Page(link.backup);
                b = StateOf(backup);
                Mark(link.backup, b);
                link.backupSound = b == PageState::Sound;
            }
            r_.pages[page].role = Role::Index;
            const std::string name =
                "index page " + std::to_string(page) + " (position " + std::to_string(position) + " of the chain)";
            const std::uint8_t *chosen = nullptr;
            if (link.primarySound) {
                chosen = primary;
                if (link.backup >= 0 && !link.backupSound) {
                    Add(Kind::DamagedPage,
                        "page " + std::to_string(link.backup) + " (the backup of " + name + ") " + StateWords(b) +
                            "; it can be rewritten from page " + std::to_string(page),
                        {link.backup}, true);
                } else if (link.backup >= 0) {
                    link.backupSame = std::memcmp(primary, backup, kPageSize) == 0;
                    if (!link.backupSame) {
                        r_.pages[static_cast<std::size_t>(link.backup)].damage |= damage::kDiffers;
                        Add(Kind::BackupDiffers,
                            "page " + std::to_string(link.backup) + " (the backup of " + name +
                                ") differs from it; the backup can be rewritten from page " + std::to_string(page),
                            {link.backup}, true);
                    }
                }
            } else if (link.backupSound) {
                chosen = backup;
                restorable_.push_back(r_.findings.size());
                Add(Kind::DamagedPage,
                    name + " " + StateWords(p) + "; its backup in page " + std::to_string(link.backup) +
                        " is intact and can restore it",
                    {link.page}, true);
            } else {
                std::string why = link.backup < 0
                    ? "; pages past position 14 have no backup"
                    : "; its backup in page " + std::to_string(link.backup) + " " + StateWords(b) + " too";
                Add(Kind::DamagedPage, name + " " + StateWords(p) + why + ": the rest of the index is lost",
                    link.backup < 0 ? std::vector<int>{link.page} : std::vector<int>{link.page, link.backup}, false);
                r_.chain.push_back(link);
                chainComplete_ = false;
                indexCut_ = true;
                break;
            }
            r_.chain.push_back(link);
            const std::uint16_t length = Get16(chosen + kIndexLengthOffset);
            if (length > kIndexBytes) {
                r_.pages[page].damage |= damage::kBadLength;
                Add(Kind::BrokenChain,
                    name + " claims to hold " + std::to_string(length) + " bytes of index, more than a page holds",
                    {link.page}, false);
                chainComplete_ = false;
                indexCut_ = true;
                break;
            }
            pieces_.push_back({text_.size(), link.page});
            text_.append(reinterpret_cast<const char *>(chosen), length);
            chainPrevious_ = link.page;
            page = Get16(chosen + kNextIndexOffset);
            ++position;
        }
    }

    // The index page that holds byte `offset` of the index text.
    int PageOfText(std::size_t offset) const
    {
        int page = -1;
        for (const auto &[start, p] : pieces_) {
            if (start <= offset)
                page = p;
        }
        return page;
    }

    void BadRecord(int ordinal, std::size_t offset, const std::string &what, bool rest)
    {
        const int page = PageOfText(offset);
        if (page >= 0)
            r_.pages[static_cast<std::size_t>(page)].damage |= damage::kBadRecord;
        Add(Kind::BadRecord,
            "index record " + std::to_string(ordinal) + " (at byte " + std::to_string(offset) + " of the index) " +
                what + (rest ? "; the records after it cannot be read" : ""),
            page >= 0 ? std::vector<int>{page} : std::vector<int>{}, false);
        recordsSound_ = false;
    }

    // The records of the index text; a record the file system would refuse
    // is reported and, where its length still tells where the next one
    // starts, the check goes on after it.
    void Records()
    {
        recordsSound_ = true;
        std::string_view rest(text_);
        std::size_t offset = 0;
        int ordinal = 1;
        while (rest.size() >= 2) {
            const std::size_t length =
                static_cast<std::uint8_t>(rest[0]) * 16u + static_cast<std::uint8_t>(rest[1]) / 16u;
            if (length < static_cast<std::size_t>(kMinRecordLength)) {
                BadRecord(ordinal, offset,
                          "has a length of " + std::to_string(length) + ", shorter than any record can be", true);
                return;
            }
            if (length > rest.size()) {
                if (indexCut_) {
                    recordsSound_ = false; // the cut itself is reported with the chain
                    return;
                }
                BadRecord(ordinal, offset,
                          "has a length of " + std::to_string(length) + ", running past the end of the index", false);
                return;
            }
            const std::string_view record = rest.substr(2, length - 2);
            FileReport file;
            const std::size_t star = record.find('*');
            std::string_view packed;
            if (star == std::string_view::npos) {
                file.name = std::string(record);
                BadRecord(ordinal, offset, "has no separator between its name and its time, so it names no pages",
                          false);
            } else {
                file.name = std::string(record.substr(0, star));
                file.time = std::string(record.substr(star + 1, kTimeLength));
                if (star + 1 + kTimeLength < record.size())
                    packed = record.substr(star + 1 + kTimeLength);
                const bool digits = file.time.size() == static_cast<std::size_t>(kTimeLength) &&
                    std::all_of(file.time.begin(), file.time.end(), [](char c) { return c >= '0' && c <= '9'; });
                if (!digits) {
                    const int page = PageOfText(offset);
                    if (page >= 0)
                        r_.pages[static_cast<std::size_t>(page)].damage |= damage::kBadRecord;
                    Add(Kind::BadRecord,
                        "index record " + std::to_string(ordinal) + " (" + Printable(file.name) +
                            ") has a time stamp that is not 14 digits",
                        page >= 0 ? std::vector<int>{page} : std::vector<int>{}, false, file.name);
                }
            }
            bool pagesOk = true;
            if (packed.size() % 3 == 1) {
                BadRecord(ordinal, offset,
                          "(" + Printable(file.name) + ") has a page list of " + std::to_string(packed.size()) +
                              " bytes, which cannot be decoded",
                          false);
                pagesOk = false;
            } else {
                const std::vector<std::uint16_t> pages = CardFileSystem::UnpackPages(packed);
                for (std::uint16_t page : pages) {
                    if (!IsAllocatable(page)) {
                        BadRecord(ordinal, offset,
                                  "(" + Printable(file.name) + ") names page " + std::to_string(page) +
                                      ", where no file data can be",
                                  false);
                        pagesOk = false;
                        break;
                    }
                }
                if (pagesOk)
                    file.pages = pages;
            }
            file.pagesKnown = pagesOk && star != std::string_view::npos;
            file.intact = file.pagesKnown;
            r_.files.push_back(std::move(file));
            rest.remove_prefix(length);
            offset += length;
            ++ordinal;
        }
    }

    // Whether the file system's own load takes the index as read (it accepts
    // records this check reports, such as a name stored without its "*").
    // A page read from its backup may be restored only then, as the repair
    // plan does, so that is when such a finding is mendable.
    void Loads()
    {
        std::list<FileEntry> entries;
        r_.indexLoads = chainComplete_ && CardFileSystem::ParseIndexText(text_, entries);
        for (std::size_t at : restorable_) {
            r_.findings[at].mendable = r_.indexLoads;
            if (!r_.indexLoads)
                r_.findings[at].text += ", but the index does not load even with it, so it is left as it is";
        }
    }

    // Who owns each page: the index chain first, then the files in index order.
    void Ownership()
    {
        constexpr int kChain = -2;
        owner_.fill(-1);
        for (const ChainLink &link : r_.chain)
            owner_[static_cast<std::size_t>(link.page)] = kChain;
        const auto ownerName = [&](int owner) {
            return owner == kChain ? std::string("the index chain")
                                   : Printable(r_.files[static_cast<std::size_t>(owner)].name);
        };
        for (std::size_t i = 0; i < r_.files.size(); ++i) {
            FileReport &file = r_.files[i];
            for (std::size_t part = 0; part < file.pages.size(); ++part) {
                const int page = file.pages[part];
                int &owner = owner_[static_cast<std::size_t>(page)];
                if (owner == -1) {
                    owner = static_cast<int>(i);
                    PageInfo &info = r_.pages[static_cast<std::size_t>(page)];
                    info.role = Role::File;
                    info.file = static_cast<int>(i);
                    info.part = static_cast<int>(part);
                    continue;
                }
                r_.pages[static_cast<std::size_t>(page)].damage |= damage::kShared;
                file.intact = false;
                if (owner >= 0)
                    r_.files[static_cast<std::size_t>(owner)].intact = false;
                const std::string text = owner == static_cast<int>(i)
                    ? Printable(file.name) + " lists page " + std::to_string(page) + " twice"
                    : "page " + std::to_string(page) + " belongs to both " + ownerName(owner) + " and " +
                        Printable(file.name);
                Add(Kind::SharedPage, text + "; writing to one of them destroys the other", {page}, false, file.name);
            }
        }
    }

    void DataPages()
    {
        for (FileReport &file : r_.files) {
            long long start = 0;
            for (std::size_t part = 0; part < file.pages.size(); ++part) {
                const int page = file.pages[part];
                const std::uint8_t *bytes = source_.Page(page);
                const PageState state = StateOf(bytes);
                std::string what;
                long long length = kDataBytes;
                if (state != PageState::Sound) {
                    Mark(page, state);
                    what = StateWords(state);
                } else if (Get16(bytes + kDataLengthOffset) > kDataBytes) {
                    r_.pages[static_cast<std::size_t>(page)].damage |= damage::kBadLength;
                    what = "claims " + std::to_string(Get16(bytes + kDataLengthOffset)) +
                        " bytes, more than a data page holds";
                } else {
                    length = Get16(bytes + kDataLengthOffset);
                    file.size += length;
                }
                if (!what.empty()) {
                    file.intact = false;
                    Add(Kind::BadDataPage,
                        Printable(file.name) + ": page " + std::to_string(page) + " (part " + std::to_string(part + 1) +
                            " of " + std::to_string(file.pages.size()) + ", bytes " + std::to_string(start) + " to " +
                            std::to_string(start + kDataBytes - 1) + ") " + what,
                        {page}, false, file.name);
                }
                start += length;
            }
        }
    }

    // The bitmap against what the index says is owned.
    void Bitmap()
    {
        r_.indexSound = chainComplete_ && recordsSound_;
        std::vector<int> leaked;
        std::map<int, std::vector<int>> markedFree; // owner -> pages
        for (int p = kFirstAllocatablePage; p <= kLastAllocatablePage; ++p) {
            PageInfo &info = r_.pages[static_cast<std::size_t>(p)];
            const bool owned = owner_[static_cast<std::size_t>(p)] != -1;
            const bool free = r_.BitmapFree(p);
            if (!owned)
                info.role = free ? Role::Free : Role::Leaked;
            if (!owned && !free)
                leaked.push_back(p);
            if (owned && free) {
                info.damage |= damage::kMarkedFree;
                markedFree[owner_[static_cast<std::size_t>(p)]].push_back(p);
            }
        }
        const bool mendable = r_.indexSound;
        if (!leaked.empty()) {
            const std::string count = std::to_string(leaked.size()) + (leaked.size() == 1 ? " page" : " pages");
            Add(Kind::LeakedPages,
                r_.indexSound
                    ? count + " marked in use that no file owns (leaked): " + PageRanges(leaked) + "; they can be freed"
                    : count + " marked in use that no readable record owns: " + PageRanges(leaked) +
                        "; they may belong to the part of the index that is lost",
                leaked, mendable);
        }
        for (const auto &[owner, pages] : markedFree) {
            const std::string who = owner == -2 ? std::string("the index chain")
                                                : Printable(r_.files[static_cast<std::size_t>(owner)].name);
            Add(Kind::MarkedFree,
                who + " owns " + (pages.size() == 1 ? "page " : "pages ") + PageRanges(pages) +
                    ", which the bitmap calls free: the next file written may overwrite " +
                    (pages.size() == 1 ? "it" : "them"),
                pages, mendable, owner >= 0 ? r_.files[static_cast<std::size_t>(owner)].name : std::string());
        }
    }

    void Figures()
    {
        ::kelvara::check::Figures &f = r_.figures;
        for (int p = kFirstAllocatablePage; p <= kLastAllocatablePage; ++p) {
            if (r_.BitmapFree(p))
                ++f.freePages;
            else
                ++f.usedPages;
        }
        f.indexPages = static_cast<int>(r_.chain.size());
        f.files = static_cast<int>(r_.files.size());
        for (const FileReport &file : r_.files) {
            f.filePages += static_cast<int>(file.pages.size());
            f.fileBytes += file.size;
        }
    }

    PageSource &source_;
    CardReport &r_;
    PageCrc crc_;
    std::string text_;
    std::vector<std::size_t> restorable_; // findings of index pages a sound backup can restore
    std::vector<std::pair<std::size_t, int>> pieces_; // where each index page's bytes start in text_
    bool chainComplete_ = false;
    bool indexCut_ = false;
    bool recordsSound_ = false;
    int chainPrevious_ = 0;
    std::array<int, kPageCount> owner_{};
};

} // namespace

CardReport CheckCard(PageSource &pages)
{
    CardReport report;
    Checker(pages, report).Run();
    return report;
}

} // namespace kelvara::check
