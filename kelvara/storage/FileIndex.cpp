// The card's directory: index records, 12-bit page lists and the chain of
// index pages, loaded and saved as a whole.
#include "kelvara/storage/CardFileSystem.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"

#include <algorithm>

namespace kelvara {

using namespace card;

namespace {

bool IsDataPageNumber(unsigned page) { return page >= kFirstAllocatablePage && page <= kLastAllocatablePage; }

} // namespace

std::string CardFileSystem::PackPages(const std::vector<std::uint16_t> &pages)
{
    std::string out;
    out.reserve(PackedLength(pages.size()));
    std::size_t i = 0;
    for (; i + 1 < pages.size(); i += 2) {
        const unsigned p1 = pages[i], p2 = pages[i + 1];
        out.push_back(static_cast<char>(p1 / 16));
        out.push_back(static_cast<char>((p1 % 16) * 16 + p2 / 256));
        out.push_back(static_cast<char>(p2 % 256));
    }
    if (i < pages.size()) {
        const unsigned p = pages[i];
        out.push_back(static_cast<char>(p / 16));
        out.push_back(static_cast<char>((p % 16) * 16));
    }
    return out;
}

namespace {

// Calls `visit` with each page of a packed list, in order, without building
// the list (a load walks every file's pages several times).
template <typename Visit>
void ForEachPage(std::string_view packed, Visit &&visit)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<std::uint8_t>(packed[i])); };
    std::size_t i = 0;
    while (i < packed.size()) {
        if (i + 2 >= packed.size()) {
            if (i + 1 < packed.size())
                visit(static_cast<std::uint16_t>(byte(i) * 16 + byte(i + 1) / 16));
            break; // a lone final byte cannot be decoded (rejected at load)
        }
        visit(static_cast<std::uint16_t>(byte(i) * 16 + byte(i + 1) / 16));
        visit(static_cast<std::uint16_t>((byte(i + 1) % 16) * 256 + byte(i + 2)));
        i += 3;
    }
}

} // namespace

std::vector<std::uint16_t> CardFileSystem::UnpackPages(std::string_view packed)
{
    std::vector<std::uint16_t> pages;
    pages.reserve(2 * (packed.size() / 3) + 1);
    ForEachPage(packed, [&](std::uint16_t page) { pages.push_back(page); });
    return pages;
}

bool CardFileSystem::LoadIndex()
{
    formatted_ = false;
    bitmap_.fill(0);
    firstIndexPage_ = 0;
    ResetState();
    if (!ReadBitTablePage())
        return false;
    bitmap_[254] = 0x00; // the backup area always counts as in use
    bitmap_[255] = 0x00;
    UnpackBitmap();
    if (!ReadIndexChain() || !ParseIndex())
        return false;
    // The bit table may disagree with the index (an older backup took over,
    // or the card was damaged). A page the chain or a file names is in use
    // whatever the bit says, or it would be handed out and overwritten.
    for (std::uint16_t page : storedChainPages_)
        pageState_[page] = 0;
    for (const FileEntry &entry : fileEntries_) {
        ForEachPage(entry.pages, [&](std::uint16_t page) {
            if (page < kPageCount)
                pageState_[page] = 0;
        });
    }
    return true;
}

bool CardFileSystem::ReadIndexChain()
{
    storedChainPages_.clear();
    indexChunks_.clear();
    std::array<bool, kPageCount> visited{};
    unsigned page = firstIndexPage_;
    int position = 0;
    // A link of 2048 or more ends the chain as if it were 0.
    while (page != 0 && page < kPageCount) {
        // A link into page 0 or the backup area, or back into the chain, is
        // damage: walking on would loop or later free a page that must stay.
        if (!IsDataPageNumber(page) || visited[page])
            return false;
        visited[page] = true;
        IndexChunk chunk;
        if (!ReadIndexPage(static_cast<int>(page), chunk, position))
            return false;
        ++position;
        indexChunks_.push_back(chunk);
        storedChainPages_.push_back(static_cast<std::uint16_t>(page));
        page = chunk.next;
    }
    return true;
}

std::string CardFileSystem::ChunkText() const
{
    std::string text;
    for (const IndexChunk &chunk : indexChunks_)
        text.append(reinterpret_cast<const char *>(chunk.data.data()), chunk.length);
    return text;
}

bool CardFileSystem::ParseIndexText(std::string_view text, std::list<FileEntry> &entries)
{
    entries.clear();
    std::string_view rest(text);
    while (rest.size() >= 2) {
        const std::size_t length = static_cast<std::uint8_t>(rest[0]) * 16u + static_cast<std::uint8_t>(rest[1]) / 16u;
        // A record shorter than its fixed part, or running past the text,
        // means the index is damaged; nothing of it can be trusted.
        if (length < static_cast<std::size_t>(kMinRecordLength) || length > rest.size())
            return false;
        const std::string_view record = rest.substr(2, length - 2);
        FileEntry entry;
        const std::size_t star = record.find('*');
        if (star == std::string_view::npos) {
            entry.name = std::string(record);
            entry.separator = false;
        } else {
            entry.name = std::string(record.substr(0, star));
            entry.time = std::string(record.substr(star + 1, kTimeLength));
            if (star + 1 + kTimeLength < record.size())
                entry.pages = std::string(record.substr(star + 1 + kTimeLength));
        }
        if (entry.pages.size() % 3 == 1)
            return false;
        bool pagesValid = true;
        ForEachPage(entry.pages, [&](std::uint16_t page) { pagesValid = pagesValid && IsDataPageNumber(page); });
        if (!pagesValid)
            return false;
        entry.recordLength = static_cast<std::uint16_t>(length);
        entries.push_back(std::move(entry));
        rest.remove_prefix(length);
    }
    // A final single byte is dropped.
    return true;
}

bool CardFileSystem::ParseIndex()
{
    const std::string text = ChunkText();
    if (text.empty())
        return true;
    std::list<FileEntry> entries;
    if (!ParseIndexText(text, entries))
        return false;
    fileEntries_ = std::move(entries);
    return true;
}

std::optional<std::string> CardFileSystem::IndexText(const std::list<FileEntry> &entries)
{
    std::string text;
    for (const FileEntry &entry : entries) {
        // The header states the bytes actually written, so the record reads
        // back whole whatever length the entry carried.
        const std::size_t length =
            2 + entry.name.size() + (entry.separator ? 1 : 0) + entry.time.size() + entry.pages.size();
        if (length > static_cast<std::size_t>(kMaxRecordLength))
            return std::nullopt;
        text.push_back(static_cast<char>(length / 16));
        text.push_back(static_cast<char>((length % 16) * 16));
        text += entry.name;
        if (entry.separator)
            text.push_back('*');
        text += entry.time;
        text += entry.pages;
    }
    return text;
}

bool CardFileSystem::SerializeIndex()
{
    indexChunks_.clear();
    const std::optional<std::string> text = IndexText(fileEntries_);
    if (!text)
        return false;
    for (std::size_t offset = 0; offset < text->size(); offset += kIndexBytes) {
        IndexChunk chunk;
        const std::size_t n = std::min<std::size_t>(kIndexBytes, text->size() - offset);
        std::copy_n(reinterpret_cast<const std::uint8_t *>(text->data()) + offset, n, chunk.data.begin());
        chunk.length = static_cast<std::uint16_t>(n);
        indexChunks_.push_back(chunk);
    }
    return true;
}

std::array<bool, kPageCount> CardFileSystem::NamedPages() const
{
    std::array<bool, kPageCount> named{};
    for (const FileEntry &entry : fileEntries_) {
        ForEachPage(entry.pages, [&](std::uint16_t page) {
            if (page < kPageCount)
                named[page] = true;
        });
    }
    for (std::uint16_t page : storedChainPages_)
        named[page] = true;
    for (std::uint16_t page : newChainPages_)
        named[page] = true;
    return named;
}

bool CardFileSystem::WriteIndexChain()
{
    const std::size_t n = indexChunks_.size();
    if (n == 0) {
        firstIndexPage_ = 0;
        return true;
    }
    // Every page of the new chain is taken before anything is written; when
    // the card cannot hold the chain the save fails with the card untouched.
    std::vector<std::uint16_t> pages;
    while (pages.size() < n) {
        const std::uint16_t page = AllocPage();
        if (page == 0)
            break;
        pages.push_back(page);
    }
    // Users delete files when the card is full. With no free page left, the
    // chain may go into pages of the files being deleted: a power cut before
    // page 0 is written can then harm only those files, which the card still
    // lists. Pages of replaced files are never taken, so a failed replace
    // keeps the old file whole; nor is a page another file or the old chain
    // still names.
    const std::size_t freeTaken = pages.size();
    std::array<bool, kPageCount> unavailable = NamedPages();
    for (std::uint16_t page : pages)
        unavailable[page] = true;
    for (std::uint16_t page : deletedPages_) {
        if (pages.size() == n)
            break;
        if (page >= kFirstAllocatablePage && page <= kLastAllocatablePage && !unavailable[page]) {
            unavailable[page] = true;
            pages.push_back(page);
        }
    }
    if (pages.size() < n) {
        for (std::size_t j = 0; j < freeTaken; ++j)
            FreePage(pages[j]);
        return false;
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint16_t next = j + 1 < n ? pages[j + 1] : 0;
        if (!WriteIndexPage(pages[j], indexChunks_[j], next, static_cast<int>(j)))
            return false;
    }
    firstIndexPage_ = pages.front();
    newChainPages_ = std::move(pages);
    return true;
}

bool CardFileSystem::SaveIndex()
{
    const std::uint16_t previousFirst = firstIndexPage_;
    newChainPages_.clear();
    // An index that would not load back as this very directory is never
    // written: the card would lose every file at the next load.
    std::list<FileEntry> readBack;
    if (!SerializeIndex() || !ParseIndexText(ChunkText(), readBack) || readBack != fileEntries_)
        return false;
    if (!WriteIndexChain()) {
        firstIndexPage_ = previousFirst;
        return false;
    }
    // The old chain and the pages of deleted or replaced files become free
    // with the single write of page 0; until it succeeds they stay in use.
    // A page the new chain took, or that another file still names (two files
    // sharing a page on a damaged card), is not released.
    const auto stateBefore = pageState_;
    std::vector<std::uint16_t> oldChain = std::move(storedChainPages_);
    storedChainPages_.clear();
    const std::array<bool, kPageCount> named = NamedPages();
    for (const std::vector<std::uint16_t> *released : {&oldChain, &deletedPages_, &replacedPages_}) {
        for (std::uint16_t page : *released) {
            if (!named[page])
                FreePage(page);
        }
    }
    PackBitmap();
    if (!WriteBitTablePage()) {
        pageState_ = stateBefore;
        PackBitmap();
        firstIndexPage_ = previousFirst;
        storedChainPages_ = oldChain;
        return false;
    }
    // The chain just written is the one on the card now; a second save
    // without a load releases it instead of leaking it.
    storedChainPages_ = std::move(newChainPages_);
    newChainPages_.clear();
    deletedPages_.clear();
    replacedPages_.clear();
    return true;
}

std::list<FileEntry>::iterator CardFileSystem::FindEntry(std::string_view name)
{
    return std::find_if(fileEntries_.begin(), fileEntries_.end(),
                        [&](const FileEntry &entry) { return EqualsNoCase(entry.name, name); });
}

bool CardFileSystem::FileExists(std::string_view name) const
{
    return std::any_of(fileEntries_.begin(), fileEntries_.end(),
                       [&](const FileEntry &entry) { return EqualsNoCase(entry.name, name); });
}

bool CardFileSystem::FindFilePages(std::string_view name)
{
    filePages_.clear();
    const auto entry = FindEntry(name);
    if (entry == fileEntries_.end())
        return false;
    filePages_ = UnpackPages(entry->pages);
    return true;
}

} // namespace kelvara
