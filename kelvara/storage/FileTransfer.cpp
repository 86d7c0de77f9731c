// Copying files between a local directory and the card, and deleting them.
#include "kelvara/storage/CardFileSystem.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/services/NameText.h"
#include "kelvara/services/Progress.h"

#include <iterator>
#include <optional>
#include <utility>

namespace kelvara {

using namespace card;

namespace {

// Runs `undo` when the scope ends.
template <typename F>
class OnExit {
public:
    explicit OnExit(F undo)
        : undo_(std::move(undo))
    {
    }
    ~OnExit() { undo_(); }
    OnExit(const OnExit &) = delete;
    OnExit &operator=(const OnExit &) = delete;

private:
    F undo_;
};

constexpr std::string_view kAllFilesPattern = "\\*.*";

std::string CardDirectoryOf(std::string_view directory)
{
    std::string out(directory);
    if (!name_text::EndsWith(out, '\\'))
        out.push_back('\\');
    return out;
}

// Whether `name` lies under `prefix`: it starts with the prefix followed by a
// backslash (files in deeper directories count as well).
bool IsUnder(std::string_view name, std::string_view prefix)
{
    if (prefix.size() > name.size())
        return false;
    const std::size_t slash = name_text::Find(name, "\\", prefix.size());
    return slash != name_text::npos && EqualsNoCase(name.substr(0, slash), prefix);
}

// A card file name becomes a local file name inside the directory given;
// one that could name another place (or, on Windows, a device) is refused.
bool IsSafeLocalName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return name_text::FindFirstOf(name, "/\\") == name_text::npos && IsPlainFileName(name);
}

} // namespace

std::string CardFileSystem::FileNameOf(std::string_view path)
{
    const std::size_t slash = name_text::FindLastOf(path, "\\");
    std::string_view name = slash == name_text::npos ? path : path.substr(slash + 1);
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos)
        name = name.substr(colon + 1);
    return std::string(name);
}

std::string CardFileSystem::LocalFileNameOf(std::string_view path)
{
    const std::size_t separator = name_text::FindLastOf(path, LocalPathSeparators());
    return FileNameOf(separator == name_text::npos ? path : path.substr(separator + 1));
}

bool CardFileSystem::WriteFiles(std::string_view cardDirectory, const std::string &localFiles)
{
    if (localFiles.find_first_of("*?") != std::string::npos)
        return WriteMatchingFiles(cardDirectory, localFiles);
    return WriteOneFile(cardDirectory, localFiles);
}

bool CardFileSystem::WriteMatchingFiles(std::string_view cardDirectory, const std::string &wildcards)
{
    const std::vector<FoundFile> matches = FindFiles(wildcards);
    if (matches.empty())
        return false;
    for (const FoundFile &match : matches) {
        if (match.isDirectory)
            continue;
        if (!WriteOneFile(cardDirectory, match.path))
            return false;
    }
    return true;
}

bool CardFileSystem::WriteOneFile(std::string_view cardDirectory, const std::string &localPath)
{
    // Local paths keep the caller's case; only the card path is lower-cased.
    std::string fileName = LowerText(LocalFileNameOf(localPath));
    if (fileName == "wqn_dll.zip")
        fileName = "Wqn_dll.zip";
    const std::string cardPath = CardDirectoryOf(cardDirectory) + fileName;
    // "*" separates name and time in an index record, so a card path may not hold one.
    if (fileName.empty() || cardPath.find('*') != std::string::npos)
        return false;

    LocalFile file;
    if (!file.OpenForRead(localPath))
        return false;
    const long long size = file.Length();
    if (size < 0)
        return false;

    const long long pageCount = (size + kDataBytes - 1) / kDataBytes;
    // The record must fit its 12-bit length.
    const auto recordFits = [&] {
        return pageCount <= kLastAllocatablePage &&
            static_cast<long long>(2 + cardPath.size() + 1 + kTimeLength +
                                   PackedLength(static_cast<std::size_t>(pageCount))) <= kMaxRecordLength;
    };
    // A file the card could hold that does not fit a record is refused for
    // its path, not for space, before anything changes.
    if (pageCount <= kLastAllocatablePage && !recordFits()) {
        AskCardError(CardError::PathTooLong);
        return false;
    }

    // A file of the same path is replaced; its pages are released only when
    // the new index is saved. A replace that fails puts the old entry back
    // where it was and frees the pages it took, so the index in memory (which
    // a caller may save later) still holds the old file whole.
    std::vector<std::uint16_t> pages;
    std::optional<FileEntry> replaced;
    std::list<FileEntry>::iterator replacedNext = fileEntries_.end();
    const std::size_t replacedPagesBefore = replacedPages_.size();
    bool written = false;
    const OnExit undo([&] {
        if (written)
            return;
        for (std::uint16_t page : pages)
            FreePage(page);
        if (replaced) {
            fileEntries_.insert(replacedNext, std::move(*replaced));
            replacedPages_.resize(replacedPagesBefore);
        }
    });
    if (const auto old = FindEntry(cardPath); old != fileEntries_.end()) {
        replaced = *old;
        replacedNext = std::next(old);
        if (!RemoveEntry(cardPath, replacedPages_)) {
            replaced.reset();
            return false;
        }
    }
    // The space check comes first, so a file larger than the whole card gets
    // the user's message too.
    if (!HasSpace(cardPath, size)) {
        AskCardError(CardError::NoSpace);
        return false;
    }
    if (!recordFits())
        return false;

    progress::Planned(static_cast<int>(pageCount));
    long long remaining = size;
    while (remaining > 0) {
        std::uint8_t buffer[kDataBytes] = {};
        const long long want = remaining < kDataBytes ? remaining : kDataBytes;
        long long got = 0;
        while (got < want) {
            const long long n = file.Read(buffer + got, static_cast<std::size_t>(want - got));
            if (n <= 0)
                return false; // the file shrank or failed under us
            got += n;
        }
        const std::uint16_t page = AllocPage();
        if (page == 0)
            return false;
        pages.push_back(page);
        if (!WriteDataPage(page, buffer, static_cast<int>(got)))
            return false;
        remaining -= got;
        progress::PageDone();
    }
    file.Close();

    FileEntry entry;
    entry.name = cardPath;
    entry.time = timeSource_();
    entry.pages = PackPages(pages);
    entry.recordLength = static_cast<std::uint16_t>(2 + entry.name.size() + 1 + entry.time.size() + entry.pages.size());
    fileEntries_.push_back(std::move(entry));
    written = true;
    return true;
}

bool CardFileSystem::HasSpace(std::string_view cardPath, long long size) const
{
    long long total = 0;
    for (const FileEntry &entry : fileEntries_)
        total += entry.recordLength;
    const long long n = (size + 255) / 256;
    const long long packed = 3 * n / 2 + (n % 2);
    total += 2 + static_cast<long long>(cardPath.size()) + 1 + kTimeLength + packed;
    const long long indexPages = (total + 255) / 256;
    const long long dataPages = (size + kDataBytes - 1) / kDataBytes;
    return indexPages + dataPages <= CountFreePages();
}

bool CardFileSystem::ReadFiles(const std::string &localDirectory, std::string_view pattern)
{
    const std::size_t at = name_text::Find(pattern, kAllFilesPattern);
    if (at != name_text::npos)
        return ReadFilesUnder(localDirectory, pattern.substr(0, at));
    return ReadOneFile(localDirectory, pattern);
}

bool CardFileSystem::ReadFilesUnder(const std::string &localDirectory, std::string_view prefix)
{
    std::vector<std::string> names;
    for (const FileEntry &entry : fileEntries_) {
        if (IsUnder(entry.name, prefix))
            names.push_back(entry.name);
    }
    for (const std::string &name : names) {
        if (!ReadOneFile(localDirectory, name))
            return false;
    }
    return true;
}

bool CardFileSystem::ReadOneFile(const std::string &localDirectory, std::string_view cardPath)
{
    const auto entry = FindEntry(cardPath);
    if (entry == fileEntries_.end() || !FindFilePages(cardPath))
        return true;
    // The local file takes the name as stored ("Wqn_dll.zip" keeps its capital).
    const std::string name = FileNameOf(entry->name);
    if (!IsSafeLocalName(name))
        return false;

    // The whole file is read before the local file is touched, so a card
    // error never leaves a truncated copy over an existing local file.
    std::string content;
    progress::Planned(static_cast<int>(filePages_.size()));
    for (std::uint16_t page : filePages_) {
        std::uint8_t buffer[kDataBytes];
        std::uint16_t length = 0;
        if (!ReadDataPage(page, buffer, length))
            return false;
        content.append(reinterpret_cast<const char *>(buffer), length);
        progress::PageDone();
    }
    LocalFile file;
    if (!file.Create(localDirectory + name) || !file.Write(content.data(), content.size()))
        return false;
    file.Close();
    filePages_.clear();

    if (!readNames_.empty())
        readNames_.push_back(',');
    readNames_ += name;
    return true;
}

bool CardFileSystem::DeleteFiles(std::string_view pattern)
{
    const std::size_t at = name_text::Find(pattern, kAllFilesPattern);
    if (at != name_text::npos)
        return DeleteFilesUnder(pattern.substr(0, at));
    return DeleteOneFile(pattern);
}

bool CardFileSystem::DeleteFilesUnder(std::string_view prefix)
{
    bool found = false;
    for (auto it = fileEntries_.begin(); it != fileEntries_.end();) {
        const auto current = it++;
        if (!IsUnder(current->name, prefix))
            continue;
        found = true;
        // Copy: deleting removes the entry that owns the name.
        const std::string name = current->name;
        if (!DeleteOneFile(name))
            return false;
    }
    return found;
}

bool CardFileSystem::DeleteOneFile(std::string_view cardPath) { return RemoveEntry(cardPath, deletedPages_); }

bool CardFileSystem::RenameFile(std::string_view from, std::string_view to)
{
    const auto entry = FindEntry(from);
    if (entry == fileEntries_.end() || FindEntry(to) != fileEntries_.end() || !IsValidCardPath(to))
        return false;
    const std::size_t length = entry->recordLength - entry->name.size() + to.size();
    if (length > static_cast<std::size_t>(kMaxRecordLength)) {
        AskCardError(CardError::PathTooLong);
        return false;
    }
    // Only the record changes: the new chain holds it under its new name, the
    // data pages stay where they are, and until page 0 is written the old
    // chain (with the old name) is the one in force.
    FileEntry old = *entry;
    entry->name = std::string(to);
    entry->recordLength = static_cast<std::uint16_t>(length);
    if (SaveIndex())
        return true;
    *entry = std::move(old);
    return false;
}

bool CardFileSystem::IsValidCardPath(std::string_view path)
{
    if (path.empty() || path.front() != '\\' || path.find('*') != std::string_view::npos ||
        name_text::Find(path, "\\\\") != name_text::npos)
        return false;
    const std::string name = FileNameOf(path);
    return !name.empty() && name != "." && name != ".." && !name_text::EndsWith(path, '\\');
}

bool CardFileSystem::RemoveEntry(std::string_view cardPath, std::vector<std::uint16_t> &pages)
{
    const auto entry = FindEntry(cardPath);
    if (entry == fileEntries_.end())
        return false;
    if (FindFilePages(cardPath)) {
        for (std::uint16_t page : filePages_) {
            if (page < kPageCount)
                pages.push_back(page);
        }
    }
    fileEntries_.erase(entry);
    return true;
}

} // namespace kelvara
