// The allocation state of the card's pages, and formatting.
#include "kelvara/storage/CardFileSystem.h"

#include "kelvara/services/LocalFiles.h"

namespace kelvara {

using namespace card;

CardFileSystem::CardFileSystem()
    : box_(&SystemMessageBox()),
      timeSource_(LocalTimeStamp)
{
}

std::uint16_t CardFileSystem::AllocPage()
{
    // The backup area above page 2031 is never handed out, whatever its state says.
    for (int p = kFirstAllocatablePage; p <= kLastAllocatablePage; ++p) {
        if (pageState_[p] == 1) {
            pageState_[p] = 0;
            return static_cast<std::uint16_t>(p);
        }
    }
    return 0;
}

void CardFileSystem::FreePage(int page)
{
    if (page >= 0 && page < kPageCount)
        pageState_[page] = 1;
}

int CardFileSystem::CountFreePages() const
{
    int free = 0;
    for (int p = 1; p < kPageCount; ++p)
        free += pageState_[p] == 1 ? 1 : 0;
    return free;
}

bool CardFileSystem::UnpackBitmap()
{
    for (int b = 0; b < kBitmapBytes; ++b) {
        for (int j = 0; j < 8; ++j)
            pageState_[8 * b + j] = (bitmap_[b] >> j) & 1u;
    }
    return true;
}

bool CardFileSystem::PackBitmap()
{
    for (int b = 0; b < kBitmapBytes; ++b) {
        std::uint8_t byte = 0;
        for (int j = 0; j < 8; ++j) {
            if (pageState_[8 * b + j] == 1)
                byte = static_cast<std::uint8_t>(byte | (1u << j));
        }
        bitmap_[b] = byte;
    }
    return true;
}

void CardFileSystem::ResetState()
{
    fileEntries_.clear();
    indexChunks_.clear();
    filePages_.clear();
    storedChainPages_.clear();
    deletedPages_.clear();
    replacedPages_.clear();
}

bool CardFileSystem::FormatCard()
{
    bitmap_.fill(0xFF);
    bitmap_[254] = 0x00;
    bitmap_[255] = 0x00;
    firstIndexPage_ = 0;
    formatted_ = true;
    ResetState();
    if (!WriteBitTablePage())
        return false;
    UnpackBitmap();
    return true;
}

bool CardFileSystem::FormatIfBlank()
{
    if (reader_ == nullptr)
        return false;
    std::uint8_t image[kPageSize];
    while (!ReadPage(kIndexBackupBase, image)) {
        if (!AskCardError(CardError::ReadError))
            return false;
    }
    // Index text under a sound checksum: only this system writes that page,
    // so the card held a directory. (All-zero bytes pass the checksum, but
    // hold no text.)
    const std::uint16_t length = Get16(image + kIndexLengthOffset);
    if (CrcMatches(image) && length > 0 && length <= kIndexBytes) {
        AskCardError(CardError::DamagedCard);
        return false;
    }
    return FormatCard();
}

} // namespace kelvara
