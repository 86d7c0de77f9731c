// The repair plan, its writing, and the salvage of readable files.
#include "tools/cardcheck/CardRepair.h"

#include "kelvara/card/PageCrc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace kelvara::check {

using namespace card;

namespace {

// The card's pages with the planned writes laid over them, so the plan can
// be checked again before anything reaches the card.
class OverlayPages final : public PageSource {
public:
    explicit OverlayPages(PageSource &base)
        : base_(base)
    {
    }

    const std::uint8_t *Page(int page) override
    {
        const auto it = writes_.find(page);
        return it != writes_.end() ? it->second.bytes.data() : base_.Page(page);
    }

    void Put(int page, const std::uint8_t *bytes, const std::string &what)
    {
        PageImage image;
        std::memcpy(image.data(), bytes, kPageSize);
        PageWrite &write = writes_[page];
        write.page = page;
        write.bytes = image;
        write.what = write.what.empty() ? what : write.what + "; " + what;
    }

    void Drop(int page) { writes_.erase(page); }

    // Index pages first, their backups next, then page 0 (the single write
    // that makes the new state current) and its backup last.
    std::vector<PageWrite> InCardOrder() const
    {
        const auto rank = [](int page) {
            if (page >= kFirstAllocatablePage && page <= kLastAllocatablePage)
                return 0;
            if (page >= kIndexBackupBase && page < kBitTableBackupPage)
                return 1;
            return page == kBitTablePage ? 2 : 3;
        };
        std::vector<PageWrite> out;
        for (const auto &[page, write] : writes_)
            out.push_back(write);
        std::stable_sort(out.begin(), out.end(),
                         [&](const PageWrite &a, const PageWrite &b) { return rank(a.page) < rank(b.page); });
        return out;
    }

private:
    PageSource &base_;
    std::map<int, PageWrite> writes_;
};

bool Owned(const PageInfo &info) { return info.role == Role::Index || info.role == Role::File; }

} // namespace

RepairPlan PlanRepair(PageSource &pages)
{
    RepairPlan plan;
    OverlayPages overlay(pages);
    const CardReport before = CheckCard(overlay);
    if (!before.formatted)
        return plan; // no sound, formatted bit table: nothing on the card proves anything

    // The bit table and its backup.
    const std::uint8_t *table = overlay.Page(before.bitTableFrom);
    if (before.bitTableFrom == kBitTableBackupPage) {
        overlay.Put(kBitTablePage, table, "page 0 (the bit table) restored from its backup in page 2047");
    } else {
        const std::uint8_t *backup = overlay.Page(kBitTableBackupPage);
        if (backup == nullptr || std::memcmp(backup, table, kPageSize) != 0)
            overlay.Put(kBitTableBackupPage, table, "page 2047 (the backup of the bit table) rewritten from page 0");
    }

    // Index pages and their backups. A damaged index page is restored only
    // when the index, read with its backup's content (as the file system
    // reads it), loads; otherwise the backup may belong to a chain whose save
    // was interrupted. Records the check reports but the load accepts (a
    // bare name) do not stop it: the load reads that backup already, so
    // writing it back changes nothing the file system sees.
    std::vector<int> declined;
    for (const ChainLink &link : before.chain) {
        if (link.primarySound && link.backup >= 0 && !link.backupSame) {
            overlay.Put(link.backup, overlay.Page(link.page),
                        "page " + std::to_string(link.backup) + " (the backup of index page " +
                            std::to_string(link.page) + ") rewritten from it");
        } else if (!link.primarySound && link.backupSound) {
            if (before.indexLoads)
                overlay.Put(link.page, overlay.Page(link.backup),
                            "index page " + std::to_string(link.page) + " restored from its backup in page " +
                                std::to_string(link.backup));
            else
                declined.push_back(link.page);
        }
    }
    if (!declined.empty())
        plan.declined.push_back("index " + std::string(declined.size() == 1 ? "page " : "pages ") +
                                PageRanges(declined) +
                                " not restored from the backup: even with it the index does not read as a whole");

    // The bitmap, rebuilt from an index that reads as a whole.
    const CardReport mid = CheckCard(overlay);
    std::vector<int> freed, claimed;
    for (int p = kFirstAllocatablePage; p <= kLastAllocatablePage; ++p) {
        const PageInfo &info = mid.pages[static_cast<std::size_t>(p)];
        if (info.role == Role::Leaked)
            freed.push_back(p);
        else if (Owned(info) && mid.BitmapFree(p))
            claimed.push_back(p);
    }
    if (!freed.empty() || !claimed.empty()) {
        if (!mid.indexSound) {
            plan.declined.push_back("the bitmap is not rebuilt: the index does not read as a whole, so which pages "
                                    "the files own is not known");
        } else {
            PageImage image;
            std::memcpy(image.data(), overlay.Page(kBitTablePage), kPageSize);
            for (int p : freed)
                image[static_cast<std::size_t>(p / 8)] |= static_cast<std::uint8_t>(1u << (p % 8));
            for (int p : claimed)
                image[static_cast<std::size_t>(p / 8)] &= static_cast<std::uint8_t>(~(1u << (p % 8)));
            image[254] = 0x00; // the backup area is always in use
            image[255] = 0x00;
            Put32(image.data() + kCrcOffset, PageCrc().ComputeCrc(image.data(), kCheckedBytes));
            std::string what = "bitmap rebuilt from the index";
            if (!freed.empty())
                what += ": " + std::to_string(freed.size()) + " leaked page" + (freed.size() == 1 ? "" : "s") +
                    " freed (" + PageRanges(freed) + ")";
            if (!claimed.empty())
                what += std::string(freed.empty() ? ": " : ", ") + std::to_string(claimed.size()) + " page" +
                    (claimed.size() == 1 ? "" : "s") + " of files marked in use (" + PageRanges(claimed) + ")";
            overlay.Put(kBitTablePage, image.data(), what);
            overlay.Put(kBitTableBackupPage, image.data(), "page 2047 (the backup of the bit table) likewise");
        }
    }
    plan.writes = overlay.InCardOrder();
    return plan;
}

std::vector<WriteOutcome> ApplyRepair(PageDevice &device, const RepairPlan &plan,
                                      const std::function<void(const WriteOutcome &)> &onWrite)
{
    std::vector<WriteOutcome> outcomes;
    for (const PageWrite &write : plan.writes) {
        WriteOutcome outcome;
        outcome.page = write.page;
        outcome.written = device.WriteBlock(write.page, 0, kPageSize, write.bytes.data());
        if (outcome.written) {
            PageImage back{};
            outcome.verified = device.ReadBlock(write.page, 0, kPageSize, back.data()) && back == write.bytes;
        }
        outcomes.push_back(outcome);
        if (onWrite)
            onWrite(outcome);
        if (!outcome.verified)
            break;
    }
    return outcomes;
}

namespace {

// The card path's parts, each made safe as a local name.
std::vector<std::string> SalvageParts(const std::string &cardPath)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= cardPath.size()) {
        std::size_t end = cardPath.find('\\', start);
        if (end == std::string::npos)
            end = cardPath.size();
        std::string part = cardPath.substr(start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        for (char &c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F || std::strchr("/:*?\"<>|", c) != nullptr)
                c = '_';
        }
        if (part == "." || part == "..")
            part = "_";
        parts.push_back(part);
    }
    if (parts.empty())
        parts.emplace_back("unnamed");
    return parts;
}

// Local file systems take names of at most 255 bytes; a longer part keeps
// its start (cut between characters), a hash of the whole and a short
// extension, so that two long names stay apart.
constexpr std::size_t kLongestName = 255;

std::string Shortened(const std::string &part)
{
    if (part.size() <= kLongestName)
        return part;
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (char c : part)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char tag[16];
    std::snprintf(tag, sizeof tag, "~%08X", static_cast<unsigned>(hash));
    const std::size_t dot = part.rfind('.');
    const std::string extension = dot != std::string::npos && part.size() - dot <= 16 ? part.substr(dot) : "";
    std::size_t keep = 200;
    while (keep > 0 && (static_cast<unsigned char>(part[keep]) & 0xC0) == 0x80)
        --keep;
    return part.substr(0, keep) + tag + extension;
}

void Note(std::string &why, const std::string &reason)
{
    if (why.find(reason) == std::string::npos)
        why += (why.empty() ? "" : "; ") + reason;
}

// Where a salvaged file goes: its card path, with a directory that cannot be
// made (a local file has its name) and a file name that is taken numbered
// ".1", ".2", ... Directories are made on the way; nothing existing is
// followed or overwritten.
struct Placement {
    std::filesystem::path path; // empty when no place could be made
    std::string why; // why the path is not the card path, or why there is none
};

Placement Place(const std::filesystem::path &root, const std::vector<std::string> &parts)
{
    namespace fs = std::filesystem;
    Placement p{root, {}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const std::string part = Shortened(parts[i]);
        if (part != parts[i])
            Note(p.why, "the card name is longer than a local name may be");
        std::string name = part;
        for (int n = 1;; ++n) {
            const fs::path candidate = p.path / name;
            std::error_code ec;
            const fs::file_status status = fs::symlink_status(candidate, ec);
            if (!fs::exists(status)) {
                if (last || fs::create_directory(candidate, ec))
                    break;
                return {{}, candidate.string() + ": " + ec.message()};
            }
            if (!last && fs::is_directory(status))
                break;
            if (n > 9999)
                return {{}, candidate.string() + ": every numbered name is taken"};
            name = part + "." + std::to_string(n);
        }
        if (name != part)
            Note(p.why, last ? "a local file of that name exists" : "a local file is where its directory would be");
        p.path /= name;
    }
    return p;
}

// What keeps a data page's bytes out of a salvaged file, or nullptr.
const char *DataPageDamage(const std::uint8_t *bytes, unsigned marks)
{
    if (bytes == nullptr || (marks & damage::kUnreadable) != 0)
        return "cannot be read";
    if ((marks & damage::kBadChecksum) != 0)
        return "has a bad checksum";
    if ((marks & damage::kBadLength) != 0)
        return "has a length no data page can hold";
    return nullptr;
}

} // namespace

std::string SalvagePath(const std::string &cardPath)
{
    std::string out;
    for (const std::string &part : SalvageParts(cardPath))
        out += (out.empty() ? "" : "/") + part;
    return out;
}

SalvageResult SalvageFiles(PageSource &pages, const CardReport &report, const std::string &directory)
{
    namespace fs = std::filesystem;
    SalvageResult result;
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (!fs::is_directory(directory, ec)) {
        result.ok = false;
        return result;
    }
    // A file that cannot be written is reported and the rest go on: the
    // backup image written before any salvage holds every page.
    for (const FileReport &file : report.files) {
        const std::string name = Printable(file.name);
        if (!file.pagesKnown) {
            result.skipped.push_back(name + ": its page list cannot be read");
            continue;
        }
        std::string content;
        for (const std::uint16_t page : file.pages) {
            const std::uint8_t *bytes = pages.Page(page);
            const char *why = DataPageDamage(bytes, report.pages[page].damage);
            if (why == nullptr) {
                content.append(reinterpret_cast<const char *>(bytes), Get16(bytes + kDataLengthOffset));
                continue;
            }
            // Its length cannot be trusted either: a whole page of zeros, as
            // the check counts a damaged page's bytes.
            const auto first = static_cast<long long>(content.size());
            content.append(kDataBytes, '\0');
            result.holes.push_back({name, page, first, first + kDataBytes - 1, why});
        }
        const Placement place = Place(fs::path(directory), SalvageParts(file.name));
        if (place.path.empty()) {
            result.skipped.push_back(name + ": " + place.why);
            continue;
        }
        const fs::path &target = place.path;
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            result.skipped.push_back(name + ": " + target.string() + " could not be written");
            continue;
        }
        result.saved.push_back(target.string());
        if (!place.why.empty())
            result.renamed.push_back({name, target.string(), place.why});
    }
    return result;
}

} // namespace kelvara::check
