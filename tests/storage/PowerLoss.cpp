// The power-loss campaign engine (see PowerLoss.h).
#include "tests/storage/PowerLoss.h"

#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/storage/CardFileSystem.h"
#include "sim/card/FlashCard.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/ScriptedMessageBox.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <utility>

namespace kelvara::testing::power_loss {
namespace {

using card::kPageCount;
using card::kPageSize;
using wqn::sim::FlashCard;
using Image = std::vector<std::uint8_t>;
using PageImage = std::array<std::uint8_t, kPageSize>;

const std::uint8_t *PageOf(const Image &image, int page) { return image.data() + std::size_t(page) * kPageSize; }

// A page device over an image it never changes: pages written through it are
// kept aside, so a recovery and its checks run on the card as cut without a
// copy of the whole image.
class OverlayCard final : public PageDevice {
public:
    explicit OverlayCard(const Image &base)
        : base_(base)
    {
    }

    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        if (!InRange(page, offset, length) || buffer == nullptr)
            return false;
        std::memcpy(buffer, Page(page) + offset, std::size_t(length));
        return true;
    }

    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        if (!InRange(page, offset, length) || buffer == nullptr)
            return false;
        PageImage *own = Find(page);
        if (own == nullptr) {
            own = &pages_.emplace_back(page, PageImage{}).second;
            std::memcpy(own->data(), PageOf(base_, page), kPageSize);
        }
        std::memcpy(own->data() + offset, buffer, std::size_t(length));
        ++writes_;
        return true;
    }

    const std::uint8_t *Page(int page) const
    {
        const PageImage *own = const_cast<OverlayCard *>(this)->Find(page);
        return own != nullptr ? own->data() : PageOf(base_, page);
    }
    long long Writes() const { return writes_; }

private:
    static bool InRange(int page, int offset, int length)
    {
        return page >= 0 && page < kPageCount && offset >= 0 && length >= 0 && offset + length <= kPageSize;
    }
    PageImage *Find(int page)
    {
        for (auto &[number, image] : pages_) {
            if (number == page)
                return &image;
        }
        return nullptr;
    }

    const Image &base_;
    std::vector<std::pair<int, PageImage>> pages_;
    long long writes_ = 0;
};

// Passes transfers on to a card and keeps every page write that landed.
class JournalCard final : public PageDevice {
public:
    explicit JournalCard(FlashCard &card)
        : card_(card)
    {
    }
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        return card_.ReadBlock(page, offset, length, buffer);
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        const bool landed = card_.WriteBlock(page, offset, length, buffer);
        if (landed) {
            PageImage image;
            std::memcpy(image.data(), card_.Page(page), kPageSize);
            writes.emplace_back(page, image);
        }
        return landed;
    }
    std::vector<std::pair<int, PageImage>> writes;

private:
    FlashCard &card_;
};

struct Directory {
    bool formatted = false;
    std::list<FileEntry> entries;
    std::vector<std::uint16_t> chain;
};

enum class Kind { Format, Write, WriteMatching, DeleteName, DeletePattern };

struct Operation {
    Kind kind = Kind::Format;
    std::string what;
    std::string cardDirectory; // writes
    std::string localPattern; // writes: a local path or a wildcard pattern
    std::map<std::string, std::string> files; // writes: local file name -> content
    std::string pattern; // deletes
};

const char *const kDirectories[] = {"", "\\tax", "\\TAX\\2024", "\\docs"};
const std::string kNames[] = {"a.txt",       "B.bin", "report.dat", "README",
                              "Wqn_Dll.zip", "x.dat", "data",       std::string(100, 'n') + ".dat"};

std::string CardPathOf(const std::string &directory, const std::string &name)
{
    std::string path = directory;
    if (path.empty() || path.back() != '\\')
        path.push_back('\\');
    return path + name;
}

bool IsUnder(const std::string &name, const std::string &prefix)
{
    const std::string lowered = LowerText(name), wanted = LowerText(prefix) + "\\";
    return lowered.compare(0, wanted.size(), wanted) == 0;
}

std::string Quote(const std::string &text)
{
    return text.size() > 40 ? text.substr(0, 18) + "..." + text.substr(text.size() - 18) : text;
}

class Sequence {
public:
    Sequence(std::uint32_t seed, const Options &options)
        : seed_(seed),
          options_(options),
          random_(seed)
    {
        std::ofstream(scratch_.path() / "probe.bin", std::ios::binary) << std::string(1000, 'p');
        checker_.SetMessageBox(&box_);
        again_.SetMessageBox(&box_);
    }

    Figures Run()
    {
        figures_.sequences = 1;
        Directory current = Load(reference_).value_or(Directory{});
        for (int step = 0; step < options_.operations && figures_.failures == 0; ++step) {
            time_ = "20240102" + std::to_string(100000 + step);
            const Operation op = Generate(current, step);
            RunOperation(op, current, step);
        }
        return figures_;
    }

private:
    // --- choosing operations ----------------------------------------------

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    std::string Content(std::size_t size)
    {
        std::string content(size, '\0');
        std::uniform_int_distribution<int> byte(0, 255);
        for (char &c : content)
            c = static_cast<char>(byte(random_));
        return content;
    }

    std::size_t RandomSize()
    {
        const double r = std::uniform_real_distribution<double>(0, 1)(random_);
        const auto between = [&](std::size_t lo, std::size_t hi) {
            return std::uniform_int_distribution<std::size_t>(lo, hi)(random_);
        };
        if (r < 0.12)
            return 0;
        if (r < 0.5)
            return between(1, 2000);
        if (r < 0.8)
            return between(2001, 20 * 1024);
        return between(20 * 1024 + 1, 300 * 1024);
    }

    // The largest file the space check lets onto the reference card now.
    std::size_t LargestFit(const std::string &cardPath)
    {
        CardFileSystem fs;
        fs.BindReader(&reference_);
        fs.SetMessageBox(&box_);
        if (!fs.LoadIndex())
            return 0;
        long long pages = fs.CountFreePages();
        while (pages > 0 && !fs.HasSpace(cardPath, 258 * pages))
            --pages;
        return std::size_t(258 * pages);
    }

    Operation Generate(const Directory &current, int step)
    {
        Operation op;
        const double r = std::uniform_real_distribution<double>(0, 1)(random_);
        if (r < 0.04) {
            op.kind = Kind::Format;
            op.what = "format";
        } else if (r < 0.40 || (r < 0.62 && current.entries.empty())) {
            op.kind = Kind::Write;
            op.cardDirectory = kDirectories[Below(std::size(kDirectories))];
            const std::string name = kNames[Below(std::size(kNames))];
            op.files[name] = Content(RandomSize());
            op.what = "write " + Quote(name) + " (" + std::to_string(op.files[name].size()) + " bytes) to \"" +
                op.cardDirectory + "\"";
        } else if (r < 0.50) {
            // A card filled to the brim, or a page or two short of it.
            op.kind = Kind::Write;
            op.cardDirectory = "\\fill";
            const std::string name = "fill" + std::to_string(step);
            const std::size_t largest = LargestFit(CardPathOf(op.cardDirectory, name));
            const std::size_t shortBy = std::min(largest, 258 * Below(3) + Below(258));
            op.files[name] = Content(largest - shortBy);
            op.what = "fill the card with " + std::to_string(op.files[name].size()) + " bytes";
        } else if (r < 0.56) {
            op.kind = Kind::WriteMatching;
            op.cardDirectory = kDirectories[Below(std::size(kDirectories))];
            const std::size_t count = 2 + Below(3);
            for (std::size_t i = 0; i < count; ++i)
                op.files[kNames[Below(std::size(kNames))]] = Content(RandomSize() / 4);
            op.localPattern = Chance(0.5) ? "*.*" : "*.dat";
            op.what = "write " + std::to_string(op.files.size()) + " local files as " + op.localPattern + " to \"" +
                op.cardDirectory + "\"";
        } else if (r < 0.62) {
            // Replace a file the card holds, under the name it has there.
            const auto &entry = *std::next(current.entries.begin(), long(Below(current.entries.size())));
            op.kind = Kind::Write;
            const std::size_t slash = entry.name.rfind('\\');
            op.cardDirectory = entry.name.substr(0, slash);
            op.files[entry.name.substr(slash + 1)] = Content(RandomSize());
            op.what = "replace " + Quote(entry.name);
        } else if (r < 0.84) {
            op.kind = Kind::DeleteName;
            if (current.entries.empty() || Chance(0.1)) {
                op.pattern = "\\no-such-file.txt";
            } else {
                op.pattern = std::next(current.entries.begin(), long(Below(current.entries.size())))->name;
                for (char &c : op.pattern) {
                    if (c >= 'a' && c <= 'z' && Chance(0.3))
                        c = static_cast<char>(c - 'a' + 'A');
                }
            }
            op.what = "delete " + Quote(op.pattern);
        } else {
            op.kind = Kind::DeletePattern;
            const char *const prefixes[] = {"", "\\tax", "\\tax\\2024", "\\docs", "\\fill"};
            op.pattern = std::string(prefixes[Below(std::size(prefixes))]) + "\\*.*";
            op.what = "delete " + op.pattern;
        }
        return op;
    }

    // --- running and loading ---------------------------------------------------

    void PrepareLocalFiles(Operation &op, int step)
    {
        const std::filesystem::path dir = scratch_.path() / ("op" + std::to_string(step));
        std::filesystem::create_directory(dir);
        for (const auto &[name, content] : op.files)
            std::ofstream(dir / name, std::ios::binary) << content;
        if (op.kind == Kind::Write)
            op.localPattern = (dir / op.files.begin()->first).string();
        else if (op.kind == Kind::WriteMatching)
            op.localPattern = (dir / op.localPattern).string();
    }

    int Execute(const Operation &op, PageDevice &device)
    {
        CardFileSystem fs;
        fs.BindReader(&device);
        fs.SetMessageBox(&box_);
        const std::string time = time_;
        fs.SetTimeSource([time] { return time; });
        switch (op.kind) {
        case Kind::Format:
            return fs_calls::Format(fs);
        case Kind::Write:
        case Kind::WriteMatching:
            return fs_calls::WriteIcFiles(fs, op.cardDirectory, op.localPattern);
        case Kind::DeleteName:
        case Kind::DeletePattern:
            return fs_calls::DelIcFiles(fs, op.pattern);
        }
        return -1;
    }

    std::optional<Directory> Load(PageDevice &device)
    {
        CardFileSystem fs;
        fs.BindReader(&device);
        fs.SetMessageBox(&box_);
        if (!fs.LoadIndex())
            return std::nullopt;
        return Directory{fs.IsFormatted(), fs.FileEntries(), fs.StoredChainPages()};
    }

    // A file's content through the file system's own page reads.
    static std::optional<std::string> ReadContent(CardFileSystem &fs, const std::string &name)
    {
        if (!fs.FindFilePages(name))
            return std::nullopt;
        const std::vector<std::uint16_t> pages = fs.FilePages();
        std::string content;
        for (std::uint16_t page : pages) {
            std::uint8_t buffer[card::kDataBytes];
            std::uint16_t length = 0;
            if (!fs.ReadDataPage(page, buffer, length))
                return std::nullopt;
            content.append(reinterpret_cast<const char *>(buffer), length);
        }
        return content;
    }

    void Fail(const std::string &text)
    {
        ++figures_.failures;
        if (figures_.notes.size() < 20)
            figures_.notes.push_back("seed " + std::to_string(seed_) + ": " + text);
    }

    // --- one operation --------------------------------------------------------

    void RunOperation(Operation op, Directory &current, int step)
    {
        PrepareLocalFiles(op, step);
        const Directory before = current;
        const Image imageBefore = reference_.Image();
        box_.calls.clear();
        JournalCard journal(reference_);
        const int result = Execute(op, journal);
        const std::vector<std::string> boxes = box_.Texts();
        ++figures_.operations;
        figures_.pageWrites += long(journal.writes.size());

        const std::optional<Directory> loaded = Load(reference_);
        if (!loaded) {
            Fail(op.what + ": the card does not load after the operation");
            return;
        }
        const Directory after = *loaded;
        if (!CheckOutcome(op, result, boxes, before, after))
            return;
        current = after;

        // What a cut may harm: only files this operation deletes.
        std::set<std::string> harmable;
        if (op.kind == Kind::DeleteName || op.kind == Kind::DeletePattern) {
            for (const FileEntry &entry : before.entries) {
                if (std::none_of(after.entries.begin(), after.entries.end(),
                                 [&](const FileEntry &e) { return e.name == entry.name; }))
                    harmable.insert(entry.name);
            }
            std::set<std::uint16_t> deletedPages;
            for (const FileEntry &entry : before.entries) {
                if (harmable.count(entry.name) != 0) {
                    for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages))
                        deletedPages.insert(page);
                }
            }
            if (std::any_of(after.chain.begin(), after.chain.end(),
                            [&](std::uint16_t page) { return deletedPages.count(page) != 0; }))
                ++figures_.fullCardDeletes;
        }
        CutEverywhere(op, before, after, imageBefore, journal.writes, harmable);
    }

    // The directory the operation left must be the one its result implies, and
    // every file must read back as last written.
    bool CheckOutcome(const Operation &op, int result, const std::vector<std::string> &boxes, const Directory &before,
                      const Directory &after)
    {
        const bool noSpace = std::find(boxes.begin(), boxes.end(), "IC卡空间不足!") != boxes.end();
        std::list<FileEntry> expected = before.entries;
        std::size_t appended = 0;
        std::set<std::string> expectedNames;
        switch (op.kind) {
        case Kind::Format:
            if (result != 0 || !after.formatted || !after.entries.empty()) {
                Fail(op.what + ": not an empty formatted card");
                return false;
            }
            model_.clear();
            return true;
        case Kind::Write:
        case Kind::WriteMatching:
            if (result != 0) {
                const bool matchedNothing = op.kind == Kind::WriteMatching && op.localPattern.ends_with("*.dat") &&
                    std::none_of(op.files.begin(), op.files.end(),
                                 [](const auto &file) { return file.first.ends_with(".dat"); });
                if (!noSpace && !matchedNothing) {
                    Fail(op.what + ": failed without a reason");
                    return false;
                }
                figures_.refusedForSpace += noSpace ? 1 : 0;
                break;
            }
            for (const auto &[name, content] : op.files) {
                if (op.localPattern.ends_with("*.dat") && !name.ends_with(".dat"))
                    continue;
                const std::string path = CardPathOf(op.cardDirectory, name);
                expected.remove_if([&](const FileEntry &entry) { return EqualsNoCase(entry.name, path); });
                expectedNames.insert(LowerText(path));
                pending_[LowerText(path)] = content;
                ++appended;
            }
            break;
        case Kind::DeleteName: {
            const auto it = std::find_if(expected.begin(), expected.end(),
                                         [&](const FileEntry &entry) { return EqualsNoCase(entry.name, op.pattern); });
            if (it != expected.end())
                expected.erase(it);
            break;
        }
        case Kind::DeletePattern:
            expected.remove_if([&](const FileEntry &entry) {
                return IsUnder(entry.name, op.pattern.substr(0, op.pattern.size() - 4));
            });
            break;
        }
        if ((op.kind == Kind::DeleteName || op.kind == Kind::DeletePattern) && result != 0) {
            // Refused only when the new index needs more pages than are free
            // together with the deleted files' own pages; the card is as it was.
            if (!ChainCannotFit(before, expected) || after.entries != before.entries) {
                Fail(op.what + ": a delete failed");
                return false;
            }
            ++figures_.deletesRefusedForSpace;
            return true;
        }
        if (before.formatted && !after.formatted) {
            Fail(op.what + ": the card lost its format");
            return false;
        }
        // The files kept are unchanged and in order; the written ones follow.
        if (after.entries.size() != expected.size() + appended ||
            !std::equal(expected.begin(), expected.end(), after.entries.begin())) {
            Fail(op.what + ": the directory is not the expected one");
            return false;
        }
        for (auto it = std::next(after.entries.begin(), long(expected.size())); it != after.entries.end(); ++it) {
            if (expectedNames.erase(LowerText(it->name)) == 0 || it->time != time_) {
                Fail(op.what + ": unexpected new entry " + Quote(it->name));
                return false;
            }
        }
        for (auto &[name, content] : pending_)
            model_[name] = std::move(content);
        pending_.clear();
        // Every file on the card reads back as written, through the real reads.
        CardFileSystem fs;
        fs.BindReader(&reference_);
        fs.SetMessageBox(&box_);
        if (!fs.LoadIndex()) {
            Fail(op.what + ": reload failed");
            return false;
        }
        for (const FileEntry &entry : after.entries) {
            const auto content = ReadContent(fs, entry.name);
            const auto model = model_.find(LowerText(entry.name));
            if (!content || model == model_.end() || *content != model->second) {
                Fail(op.what + ": " + Quote(entry.name) + " does not read back as written");
                return false;
            }
        }
        for (auto it = model_.begin(); it != model_.end();) {
            const bool listed = std::any_of(after.entries.begin(), after.entries.end(),
                                            [&](const FileEntry &entry) { return LowerText(entry.name) == it->first; });
            it = listed ? std::next(it) : model_.erase(it);
        }
        return true;
    }

    // Whether the index of `remaining` needs more pages than the card has free
    // once the files of `before` missing from it are gone.
    bool ChainCannotFit(const Directory &before, const std::list<FileEntry> &remaining)
    {
        CardFileSystem fs;
        fs.BindReader(&reference_);
        fs.SetMessageBox(&box_);
        const std::optional<std::string> text = CardFileSystem::IndexText(remaining);
        if (!fs.LoadIndex() || !text)
            return false;
        std::set<std::uint16_t> named, released;
        for (const FileEntry &entry : remaining) {
            for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages))
                named.insert(page);
        }
        for (const FileEntry &entry : before.entries) {
            for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages)) {
                if (named.count(page) == 0)
                    released.insert(page);
            }
        }
        const std::size_t chain = (text->size() + card::kIndexBytes - 1) / card::kIndexBytes;
        return chain > std::size_t(fs.CountFreePages()) + released.size();
    }

    // --- the cuts ---------------------------------------------------------------

    // Where a cut fell, put in words only when a check fails.
    struct Cut {
        const Operation *op;
        std::size_t write;
        int page;
        int split; // bytes of the write that landed; -1: none
        std::string Text() const
        {
            const std::string at = "write " + std::to_string(write) + " (page " + std::to_string(page) + ")";
            return op->what +
                (split < 0 ? ", cut before " + at : ", " + at + " torn after " + std::to_string(split) + " bytes");
        }
    };

    struct Frame {
        const Operation *op;
        const Directory *before;
        const Directory *after;
        const Image *imageBefore;
        const Image *imageAfter;
        const std::set<std::string> *harmable;
        std::array<bool, kPageCount> filePage{}; // a data page of a file before or after
        std::array<bool, kPageCount> vital{}; // bit table, index chains, backups
    };

    void CutEverywhere(const Operation &op, const Directory &before, const Directory &after, const Image &imageBefore,
                       const std::vector<std::pair<int, PageImage>> &writes, const std::set<std::string> &harmable)
    {
        const Image imageAfter = reference_.Image();
        Frame frame{&op, &before, &after, &imageBefore, &imageAfter, &harmable};
        for (const Directory *dir : {&before, &after}) {
            for (const FileEntry &entry : dir->entries) {
                for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages))
                    frame.filePage[page] = true;
            }
            for (std::uint16_t page : dir->chain)
                frame.vital[page] = true;
        }
        frame.vital[0] = true;
        for (int page = card::kIndexBackupBase; page < kPageCount; ++page)
            frame.vital[page] = true;

        Image working = imageBefore;
        for (std::size_t k = 0; k < writes.size(); ++k) {
            const auto &[page, image] = writes[k];
            CheckCut(frame, working, Cut{&op, k, page, -1});
            CrossCheck(op, imageBefore, working, k, std::nullopt);
            if (frame.vital[page]) {
                std::uint8_t *target = working.data() + std::size_t(page) * kPageSize;
                PageImage saved;
                std::memcpy(saved.data(), target, kPageSize);
                for (int split : options_.splits) {
                    std::memcpy(target, image.data(), std::size_t(split));
                    // A split where old and new bytes agree is the cut before
                    // or after this write, already tried.
                    if (std::memcmp(target, saved.data(), kPageSize) != 0 &&
                        std::memcmp(target, image.data(), kPageSize) != 0) {
                        ++figures_.tornCuts;
                        CheckCut(frame, working, Cut{&op, k, page, split});
                        CrossCheck(op, imageBefore, working, k, split);
                    }
                    std::memcpy(target, saved.data(), kPageSize);
                }
            }
            std::memcpy(working.data() + std::size_t(page) * kPageSize, image.data(), kPageSize);
            if (figures_.failures > 0)
                return;
        }
        if (working != imageAfter)
            Fail(op.what + ": the journal does not rebuild the card");
    }

    void CheckCut(const Frame &frame, const Image &image, const Cut &cut)
    {
        const int tornPage = cut.split < 0 ? -1 : cut.page;
        if (tornPage < 0)
            ++figures_.cuts;
        const auto where = [&cut] { return cut.Text(); };
        OverlayCard overlay(image);
        CardFileSystem &fs = checker_;
        fs.BindReader(&overlay);
        box_.calls.clear();
        if (!fs.LoadIndex() || !box_.calls.empty()) {
            Fail(where() + ": the card does not load without a prompt");
            return;
        }
        const std::list<FileEntry> &entries = fs.FileEntries();
        const Directory &before = *frame.before, &after = *frame.after;
        // Formatting a blank card on the way to writing to it loses nothing.
        const bool isOld = entries == before.entries &&
            (fs.IsFormatted() == before.formatted || (!before.formatted && before.entries.empty()));
        const bool isNew = entries == after.entries && fs.IsFormatted() == after.formatted;
        if (!isOld && !isNew) {
            Fail(where() + ": neither the old nor the new directory (" + std::to_string(entries.size()) + " files, " +
                 std::to_string(before.entries.size()) + " before, " + std::to_string(after.entries.size()) +
                 " after)");
            return;
        }
        // Every file must hold the bytes it had in the uncut run (a torn page
        // that is no file's data page changes nothing there), and none of its
        // pages may count as free.
        const bool compare = tornPage < 0 || frame.filePage[tornPage];
        const Image &reference = isOld ? *frame.imageBefore : *frame.imageAfter;
        for (const FileEntry &entry : entries) {
            const bool mayBeHarmed = isOld && !isNew && frame.harmable->count(entry.name) != 0;
            for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages)) {
                if (fs.PageIsFree(page)) {
                    Fail(where() + ": page " + std::to_string(page) + " of " + Quote(entry.name) + " counts as free");
                    return;
                }
                if (compare && !mayBeHarmed &&
                    std::memcmp(overlay.Page(page), PageOf(reference, page), kPageSize) != 0) {
                    Fail(where() + ": " + Quote(entry.name) + " lost page " + std::to_string(page));
                    return;
                }
            }
        }
        // Save, then load, gives the same directory.
        const long long writesBefore = overlay.Writes();
        if (!fs.SaveIndex() && overlay.Writes() != writesBefore) {
            Fail(where() + ": a save that failed wrote to the card");
            return;
        }
        again_.BindReader(&overlay);
        if (!again_.LoadIndex() || again_.FileEntries() != entries) {
            Fail(where() + ": save and load changed the directory");
            return;
        }
        if (options_.probeEvery > 0 && ++cutCounter_ % options_.probeEvery == 0)
            Probe(overlay, entries, isOld && !isNew ? *frame.harmable : std::set<std::string>{}, cut);
    }

    // The recovered card takes a new file and gives it back, harming nothing.
    void Probe(OverlayCard &overlay, const std::list<FileEntry> &entries, const std::set<std::string> &harmable,
               const Cut &cut)
    {
        const auto where = [&cut] { return cut.Text(); };
        std::vector<std::pair<std::uint16_t, PageImage>> kept;
        for (const FileEntry &entry : entries) {
            if (harmable.count(entry.name) != 0)
                continue;
            for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages)) {
                PageImage image;
                std::memcpy(image.data(), overlay.Page(page), kPageSize);
                kept.emplace_back(page, image);
            }
        }
        CardFileSystem fs;
        fs.BindReader(&overlay);
        fs.SetMessageBox(&box_);
        fs.SetTimeSource([] { return std::string("20991231235959"); });
        if (!fs.LoadIndex()) {
            Fail(where() + ", probe: the card does not load");
            return;
        }
        if (!fs.HasSpace("\\probe\\probe.bin", 1000))
            return; // a full card, as it was
        ++figures_.probes;
        if (fs_calls::WriteIcFiles(fs, "\\probe", (scratch_.path() / "probe.bin").string()) != 0 || !fs.LoadIndex()) {
            Fail(where() + ", probe: a new file could not be written");
            return;
        }
        const auto content = ReadContent(fs, "\\probe\\probe.bin");
        if (!content || *content != std::string(1000, 'p')) {
            Fail(where() + ", probe: the new file does not read back");
            return;
        }
        for (const auto &[page, image] : kept) {
            if (std::memcmp(overlay.Page(page), image.data(), kPageSize) != 0) {
                Fail(where() + ", probe: writing a new file overwrote page " + std::to_string(page));
                return;
            }
        }
    }

    // The shortcut of rebuilding a cut from the journal, checked against a
    // real run with the power cut on a simulated card.
    void CrossCheck(const Operation &op, const Image &imageBefore, const Image &expected, std::size_t writes,
                    std::optional<int> torn)
    {
        if (options_.crossCheckEvery <= 0 || ++crossCounter_ % options_.crossCheckEvery != 0)
            return;
        ++figures_.crossChecks;
        box_.calls.clear();
        FlashCard card;
        card.SetImage(imageBefore);
        card.CutPowerAfter(int(writes), torn);
        Execute(op, card);
        if (card.Image() != expected)
            Fail(op.what + ": a real cut at write " + std::to_string(writes) + " differs from the journal's");
    }

    std::uint32_t seed_;
    Options options_;
    std::mt19937 random_;
    ScratchDirectory scratch_;
    ScriptedMessageBox box_; // every retry prompt is cancelled
    FlashCard reference_;
    std::string time_;
    std::map<std::string, std::string> model_; // lower-cased card path -> content
    std::map<std::string, std::string> pending_;
    Figures figures_;
    CardFileSystem checker_; // loads and saves each cut card
    CardFileSystem again_; // loads it once more
    long long cutCounter_ = 0;
    long long crossCounter_ = 0;
};

} // namespace

std::vector<int> FieldBoundarySplits()
{
    // Bitmap or index bytes, their lengths and links, the marker, the CRC.
    return {1, 2, 64, 128, 200, 254, 255, 256, 257, 258, 259, 260, 261, 262, 263};
}

std::vector<int> EverySplit()
{
    std::vector<int> splits;
    for (int split = 1; split < kPageSize; ++split)
        splits.push_back(split);
    return splits;
}

void Figures::Add(const Figures &other)
{
    sequences += other.sequences;
    deletesRefusedForSpace += other.deletesRefusedForSpace;
    operations += other.operations;
    pageWrites += other.pageWrites;
    cuts += other.cuts;
    tornCuts += other.tornCuts;
    crossChecks += other.crossChecks;
    probes += other.probes;
    fullCardDeletes += other.fullCardDeletes;
    refusedForSpace += other.refusedForSpace;
    failures += other.failures;
    for (const std::string &note : other.notes) {
        if (notes.size() < 20)
            notes.push_back(note);
    }
}

Figures RunSequence(std::uint32_t seed, const Options &options) { return Sequence(seed, options).Run(); }

} // namespace kelvara::testing::power_loss
