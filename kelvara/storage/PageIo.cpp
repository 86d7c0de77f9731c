// Whole-page transfers with checksums, backups and the retry prompts.
#include "kelvara/storage/CardFileSystem.h"

#include "kelvara/services/PromptTexts.h"

#include <algorithm>
#include <cstring>

namespace kelvara {

using namespace card;

bool CardFileSystem::AskCardError(CardError kind)
{
    constexpr unsigned kRetryStyle = mb::kRetryCancel | mb::kIconQuestion | mb::kSystemModal;
    constexpr unsigned kOkStyle = mb::kOk | mb::kIconQuestion | mb::kSystemModal;
    switch (kind) {
    case CardError::ReadError:
        return box_->Show(prompt::kReadError, kNoticeTitle, kRetryStyle) == mb::kIdRetry;
    case CardError::WriteError:
        return box_->Show(prompt::kWriteError, kNoticeTitle, kRetryStyle) == mb::kIdRetry;
    case CardError::CrcError:
        box_->Show(prompt::kCrcError, kNoticeTitle, kOkStyle);
        return false;
    case CardError::NoSpace:
        box_->Show(prompt::kNoSpace, kNoticeTitle, kOkStyle);
        return true;
    case CardError::PathTooLong:
        box_->Show(prompt::kPathTooLong, kNoticeTitle, kOkStyle);
        return false;
    case CardError::DamagedCard:
        box_->Show(prompt::kDamagedCard, kNoticeTitle, kOkStyle);
        return false;
    }
    return false;
}

bool CardFileSystem::ReadPage(int page, std::uint8_t *image) { return reader_->ReadBlock(page, 0, kPageSize, image); }

bool CardFileSystem::WritePage(int page, const std::uint8_t *image)
{
    return reader_->WriteBlock(page, 0, kPageSize, image);
}

void CardFileSystem::SealPage(std::uint8_t *image) const
{
    Put32(image + kCrcOffset, crc_.ComputeCrc(image, kCheckedBytes));
}

bool CardFileSystem::CrcMatches(const std::uint8_t *image) const
{
    return crc_.ComputeCrc(image, kCheckedBytes) == Get32(image + kCrcOffset);
}

bool CardFileSystem::ReadBitTablePage()
{
    formatted_ = false;
    bitmap_.fill(0);
    firstIndexPage_ = 0;
    if (reader_ == nullptr)
        return false;

    std::uint8_t image[kPageSize];
    for (;;) {
        std::memset(image, 0, sizeof image);
        if (ReadPage(kBitTablePage, image) && CrcMatches(image))
            break;
        std::memset(image, 0, sizeof image);
        if (ReadPage(kBitTableBackupPage, image)) {
            if (!CrcMatches(image))
                return true; // neither copy is sound: the card counts as not formatted
            WritePage(kBitTablePage, image); // repair; a failure here goes unnoticed
            break;
        }
        if (!AskCardError(CardError::ReadError))
            return false;
    }
    if (Get16(image + kMarkerOffset) != kFormatMarker)
        return true;
    std::memcpy(bitmap_.data(), image, kBitmapBytes);
    firstIndexPage_ = Get16(image + kFirstIndexOffset);
    formatted_ = true;
    return true;
}

bool CardFileSystem::WriteBitTablePage()
{
    if (reader_ == nullptr)
        return false;
    std::uint8_t image[kPageSize] = {};
    std::memcpy(image, bitmap_.data(), kBitmapBytes);
    Put16(image + kFirstIndexOffset, firstIndexPage_);
    Put16(image + kMarkerOffset, kFormatMarker);
    SealPage(image);
    for (;;) {
        if (WritePage(kBitTablePage, image)) {
            WritePage(kBitTableBackupPage, image);
            return true;
        }
        if (!AskCardError(CardError::WriteError))
            return false;
    }
}

bool CardFileSystem::ReadIndexPage(int page, IndexChunk &chunk, int position)
{
    chunk = IndexChunk{};
    if (reader_ == nullptr)
        return false;
    std::uint8_t image[kPageSize];
    const int backup = kIndexBackupBase + position;
    for (;;) {
        std::memset(image, 0, sizeof image);
        if (ReadPage(page, image) && CrcMatches(image))
            break;
        if (position >= 0 && backup < kBitTableBackupPage) {
            std::memset(image, 0, sizeof image);
            if (ReadPage(backup, image)) {
                // The backup's content is taken even when its own CRC fails;
                // the primary is repaired only from a sound backup.
                if (CrcMatches(image))
                    WritePage(page, image);
                break;
            }
        }
        if (!AskCardError(CardError::ReadError))
            return false;
    }
    const std::uint16_t length = Get16(image + kIndexLengthOffset);
    if (length > kIndexBytes)
        return false;
    std::memcpy(chunk.data.data(), image, length);
    chunk.length = length;
    chunk.next = Get16(image + kNextIndexOffset);
    return true;
}

bool CardFileSystem::WriteIndexPage(int page, const IndexChunk &chunk, std::uint16_t next, int position)
{
    if (reader_ == nullptr || chunk.length > kIndexBytes)
        return false;
    std::uint8_t image[kPageSize] = {};
    std::memcpy(image, chunk.data.data(), chunk.length);
    Put16(image + kIndexLengthOffset, chunk.length);
    Put16(image + kNextIndexOffset, next);
    SealPage(image);
    while (!WritePage(page, image)) {
        if (!AskCardError(CardError::WriteError))
            return false;
    }
    const int backup = kIndexBackupBase + position;
    if (position >= 0 && backup < kBitTableBackupPage)
        WritePage(backup, image);
    return true;
}

bool CardFileSystem::ReadDataPage(int page, std::uint8_t *buffer, std::uint16_t &length)
{
    if (reader_ == nullptr)
        return false;
    std::uint8_t image[kPageSize] = {};
    while (!ReadPage(page, image)) {
        if (!AskCardError(CardError::ReadError))
            return false;
    }
    length = Get16(image + kDataLengthOffset);
    if (length > kDataBytes)
        return false;
    if (!CrcMatches(image)) {
        AskCardError(CardError::CrcError);
        return false;
    }
    std::memcpy(buffer, image, kDataBytes);
    return true;
}

bool CardFileSystem::WriteDataPage(int page, const std::uint8_t *data, int length)
{
    if (reader_ == nullptr || length <= 0 || length > kDataBytes)
        return false;
    std::uint8_t image[kPageSize] = {};
    std::memcpy(image, data, static_cast<std::size_t>(length));
    Put16(image + kDataLengthOffset, static_cast<std::uint16_t>(length));
    SealPage(image);
    while (!WritePage(page, image)) {
        if (!AskCardError(CardError::WriteError))
            return false;
    }
    return true;
}

} // namespace kelvara
