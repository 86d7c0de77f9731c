// The card map and the byte layouts of the pages the file system writes.
#pragma once

#include <cstdint>

namespace kelvara::card {

inline constexpr int kPageSize = 264; // bytes per page
inline constexpr int kPageCount = 2048; // pages 0..2047
inline constexpr int kCrcOffset = 260; // page CRC over bytes 0..259, little-endian
inline constexpr int kCheckedBytes = 260;

inline constexpr int kBitTablePage = 0;
inline constexpr int kBitTableBackupPage = 2047;
inline constexpr int kIndexBackupBase = 2032; // chain position k is backed up in 2032 + k
inline constexpr int kBackedUpIndexPages = 15; // positions 0..14
inline constexpr int kFirstAllocatablePage = 1;
inline constexpr int kLastAllocatablePage = 2031;

// Bit-table page.
inline constexpr int kBitmapBytes = 256;
inline constexpr int kFirstIndexOffset = 256;
inline constexpr int kMarkerOffset = 258;
inline constexpr std::uint16_t kFormatMarker = 0xABCD;

// Index page.
inline constexpr int kIndexBytes = 256;
inline constexpr int kIndexLengthOffset = 256;
inline constexpr int kNextIndexOffset = 258;

// Data page.
inline constexpr int kDataBytes = 258;
inline constexpr int kDataLengthOffset = 258;

// Index records.
inline constexpr int kTimeLength = 14;
inline constexpr int kMinRecordLength = 2 + 1 + kTimeLength; // empty name, no pages
inline constexpr int kMaxRecordLength = 4095; // 12-bit header

// Whether a transfer of `length` bytes from `offset` stays inside page
// `page` of the card.
inline constexpr bool TransferInPage(int page, int offset, int length)
{
    return page >= 0 && page < kPageCount && offset >= 0 && offset < kPageSize && length >= 0 &&
        length <= kPageSize - offset;
}

inline std::uint16_t Get16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void Put16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

} // namespace kelvara::card
