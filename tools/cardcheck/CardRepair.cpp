// The repair plan, its writing, and the salvage of readable files.
#include "tools/cardcheck/CardRepair.h"

#include "kelvara/card/PageCrc.h"

#include <algorithm>
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
    // reads it), holds together as a whole; otherwise the backup may belong
    // to a chain whose save was interrupted.
    std::vector<int> declined;
    for (const ChainLink &link : before.chain) {
        if (link.primarySound && link.backup >= 0 && !link.backupSame) {
            overlay.Put(link.backup, overlay.Page(link.page),
                        "page " + std::to_string(link.backup) + " (the backup of index page " +
                            std::to_string(link.page) + ") rewritten from it");
        } else if (!link.primarySound && link.backupSound) {
            if (before.indexSound)
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

std::string SalvagePath(const std::string &cardPath)
{
    std::string out;
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
        if (!out.empty())
            out += '/';
        out += part;
    }
    return out.empty() ? std::string("unnamed") : out;
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
    for (const FileReport &file : report.files) {
        const std::string name = Printable(file.name);
        if (!file.pagesKnown) {
            result.skipped.push_back(name + ": its page list cannot be read");
            continue;
        }
        std::string content;
        bool sound = true;
        for (std::uint16_t page : file.pages) {
            const std::uint8_t *bytes = pages.Page(page);
            const unsigned bad = damage::kUnreadable | damage::kBadChecksum | damage::kBadLength;
            if (bytes == nullptr || (report.pages[page].damage & bad) != 0) {
                result.skipped.push_back(name + ": page " + std::to_string(page) + " is damaged");
                sound = false;
                break;
            }
            content.append(reinterpret_cast<const char *>(bytes), Get16(bytes + kDataLengthOffset));
        }
        if (!sound)
            continue;
        fs::path target = fs::path(directory) / fs::path(SalvagePath(file.name));
        // Two card files may map to one local name (names differing in case,
        // or in characters made safe): the later one gets a number.
        const fs::path wanted = target;
        for (int n = 1; fs::exists(target, ec); ++n)
            target = fs::path(wanted.string() + "." + std::to_string(n));
        fs::create_directories(target.parent_path(), ec);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            result.ok = false;
            result.skipped.push_back(name + ": " + target.string() + " could not be written");
            continue;
        }
        result.saved.push_back(target.string());
    }
    return result;
}

} // namespace kelvara::check
