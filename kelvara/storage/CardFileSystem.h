// The card file system: page I/O with checksums and backups, the allocation
// bitmap, the index chain and the file operations built on them. One object
// lives as long as the library; every operation runs on the caller's thread.
//
// Safety rules kept throughout (the card holds users' tax data):
// - nothing reaches the card's bit-table page until the new index is fully
//   written, so an interrupted operation leaves the old directory in force;
// - pages released by a delete or a replace are not handed out again until
//   the index that releases them is saved, so the old file stays readable
//   (one exception: on a full card the new index chain of a delete may go
//   into the deleted files' own pages);
// - every page the index chain or a file names counts as in use, whatever
//   the bit table on the card says;
// - a damaged index (bad record, bad page number, looping chain) fails the
//   load without touching the card further;
// - an index is written only when it reads back as the same directory.
#pragma once

#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageCrc.h"
#include "kelvara/card/PageDevice.h"
#include "kelvara/services/MessageBox.h"

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// The content of one index page in memory.
struct IndexChunk {
    std::array<std::uint8_t, card::kIndexBytes> data{};
    std::uint16_t length = 0;
    std::uint16_t next = 0;
};

// One file of the card's directory.
struct FileEntry {
    std::string name; // card path: directory ending in '\', then the file name
    std::string time; // "%Y%m%d%H%M%S"
    std::string pages; // packed 12-bit page list (may hold zero bytes)
    std::uint16_t recordLength = 0;
    // False for a record stored as a bare name without the "*" separator; it
    // is written back the same way, so its length still matches its bytes.
    bool separator = true;

    bool operator==(const FileEntry &) const = default;
};

enum class CardError { ReadError, WriteError, CrcError, NoSpace, PathTooLong, DamagedCard };

class CardFileSystem {
public:
    CardFileSystem();

    // --- services -------------------------------------------------------
    void BindReader(PageDevice *reader) { reader_ = reader; }
    void SetMessageBox(MessageBoxService *box) { box_ = box; }
    // The write time stamp of new files; defaults to the local clock.
    void SetTimeSource(std::function<std::string()> source) { timeSource_ = std::move(source); }

    // --- the card -------------------------------------------------------
    // Reads the bit table and the index chain (from their backups where a
    // page fails); false on a damaged index or a page that cannot be read.
    bool LoadIndex();
    // Writes the directory as a new index chain, then the bit table.
    bool SaveIndex();
    bool IsFormatted() const { return formatted_; }
    bool FormatCard();
    // The format a write makes by itself on a card that is not formatted
    // (load first). Only a blank or foreign card is formatted: when the bit
    // table is lost but the first index backup still holds a directory, the
    // card is damaged, not blank; it is refused with a message and left as it
    // is, since a repair can bring its files back.
    bool FormatIfBlank();
    // Reads page 0 (or its backup) alone, for the bit-table report.
    bool ReadBitTablePage();
    bool UnpackBitmap();

    // --- files ------------------------------------------------------------
    bool WriteFiles(std::string_view cardDirectory, const std::string &localFiles);
    bool ReadFiles(const std::string &localDirectory, std::string_view pattern);
    bool DeleteFiles(std::string_view pattern);
    // Gives the file `from` the path `to` and saves the index: only its
    // record changes, no data page is written. False when `from` is missing,
    // `to` exists or is no valid card path, or the save fails (the directory
    // in memory and on the card then still holds `from`).
    bool RenameFile(std::string_view from, std::string_view to);
    // A path a file can be stored under: a backslash first, no empty
    // directory, no "*" (it separates name and time in a record), and a file
    // name that is not empty, "." or "..".
    static bool IsValidCardPath(std::string_view path);
    // Whether a file of `size` bytes fits at `cardPath` (a file already
    // there is replaced).
    bool HasSpace(std::string_view cardPath, long long size) const;
    // The file-name part of a card path (after the last '\', then after a ':').
    static std::string FileNameOf(std::string_view path);

    // --- queries ------------------------------------------------------------
    std::string ListFiles() const;
    std::string GetFileTime(std::string_view name) const;
    std::string BitmapReport() const;
    bool FileExists(std::string_view name) const;
    // Looks the file up and keeps its data pages in FilePages().
    bool FindFilePages(std::string_view name);
    // One of those data pages: its bytes (up to 258) and their count.
    bool ReadDataPage(int page, std::uint8_t *buffer, std::uint16_t &length);
    // Pages from 1 to 2047 that may be handed out now.
    int CountFreePages() const;

    // --- state, for the exports, the Java binding and the tools ---------
    const std::list<FileEntry> &FileEntries() const { return fileEntries_; }
    const std::string &ReadNames() const { return readNames_; }
    void ClearReadNames() { readNames_.clear(); }
    const std::array<std::uint8_t, card::kBitmapBytes> &Bitmap() const { return bitmap_; }
    std::uint16_t FirstIndexPage() const { return firstIndexPage_; }
    const std::vector<std::uint16_t> &FilePages() const { return filePages_; }
    const std::vector<std::uint16_t> &StoredChainPages() const { return storedChainPages_; }
    bool PageIsFree(int page) const { return page >= 0 && page < card::kPageCount && pageState_[page] == 1; }

    // --- the index's byte forms (pure) ----------------------------------
    // The records of an index text, in order; false when the text is damaged
    // (a record shorter than its fixed part or running past the text, a page
    // list that cannot be decoded or names a page outside 1..2031).
    static bool ParseIndexText(std::string_view text, std::list<FileEntry> &entries);
    // The index text of `entries`; empty when a record would not fit its
    // 12-bit length.
    static std::optional<std::string> IndexText(const std::list<FileEntry> &entries);
    // Packing of 12-bit page lists.
    static std::string PackPages(const std::vector<std::uint16_t> &pages);
    static std::vector<std::uint16_t> UnpackPages(std::string_view packed);
    static std::size_t PackedLength(std::size_t pageCount) { return 3 * (pageCount / 2) + 2 * (pageCount % 2); }

protected:
    // The steps the operations above are made of. Not part of the file
    // system's interface; the storage tests reach them through a subclass
    // to check each page layout and allocation rule on its own.

    // --- page I/O ---------------------------------------------------------
    bool WriteBitTablePage();
    bool ReadIndexPage(int page, IndexChunk &chunk, int position);
    bool WriteIndexPage(int page, const IndexChunk &chunk, std::uint16_t next, int position);
    bool WriteDataPage(int page, const std::uint8_t *data, int length);
    bool AskCardError(CardError kind);

    // --- layout and allocation ------------------------------------------
    std::uint16_t AllocPage();
    void FreePage(int page);
    bool PackBitmap();

    // --- index ------------------------------------------------------------
    bool ReadIndexChain();
    bool ParseIndex(); // false on a damaged index
    bool SerializeIndex(); // false when a record would not fit its 12-bit length
    bool WriteIndexChain();

    // --- file transfer ------------------------------------------------------
    bool WriteMatchingFiles(std::string_view cardDirectory, const std::string &wildcards);
    bool WriteOneFile(std::string_view cardDirectory, const std::string &localPath);
    bool ReadFilesUnder(const std::string &localDirectory, std::string_view prefix);
    bool ReadOneFile(const std::string &localDirectory, std::string_view cardPath);
    bool DeleteFilesUnder(std::string_view prefix);
    bool DeleteOneFile(std::string_view cardPath);
    // The file-name part of a local path, which also splits at the OS's separators.
    static std::string LocalFileNameOf(std::string_view path);

private:
    bool ReadPage(int page, std::uint8_t *image);
    bool WritePage(int page, const std::uint8_t *image);
    void SealPage(std::uint8_t *image) const;
    std::string ChunkText() const; // the index chunks' bytes in chain order
    bool CrcMatches(const std::uint8_t *image) const;
    // Removes the entry named `cardPath` and keeps its pages in `pages` until
    // the save that releases them; false when there is no such entry.
    bool RemoveEntry(std::string_view cardPath, std::vector<std::uint16_t> &pages);
    void ResetState();
    // Pages that a file entry, the chain on the card or the chain being
    // written names.
    std::array<bool, card::kPageCount> NamedPages() const;
    std::list<FileEntry>::iterator FindEntry(std::string_view name);

    PageDevice *reader_ = nullptr;
    MessageBoxService *box_;
    std::function<std::string()> timeSource_;
    PageCrc crc_;

    std::array<std::uint8_t, card::kPageCount> pageState_{};
    std::string readNames_;
    bool formatted_ = false;
    std::array<std::uint8_t, card::kBitmapBytes> bitmap_{};
    std::uint16_t firstIndexPage_ = 0;
    std::vector<IndexChunk> indexChunks_;
    std::vector<std::uint16_t> filePages_;
    std::vector<std::uint16_t> storedChainPages_;
    // Pages of files removed since the load, freed by the next successful
    // save: those the user deleted (a new chain may reuse them when the card
    // is full) and those of replaced files (kept whole until the save).
    std::vector<std::uint16_t> deletedPages_;
    std::vector<std::uint16_t> replacedPages_;
    std::vector<std::uint16_t> newChainPages_; // the chain being saved
    std::list<FileEntry> fileEntries_;
};

} // namespace kelvara
