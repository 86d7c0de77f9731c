// What the two vendor adapters share: the argument checks of a page
// transfer and the checksum test of a page read back after a write.
#pragma once

#include "kelvara/storage/PageCrc.h"

#include <array>
#include <cstdint>

namespace kelvara::vendor_page {

inline constexpr int kPageSize = 264;
inline constexpr int kPageCount = 2048;
inline constexpr int kChecksumOffset = 260;

// The page a write is read back into. The adapters value-initialise it:
// bytes a partial read-back leaves alone are zero, so the verdict never
// depends on what memory held before.
using Scratch = std::array<std::uint8_t, kPageSize>;

// Page 0-2047, offset 0-263, length 0 or more, and the transfer inside the
// page: a vendor library would otherwise be asked for bytes of the next
// page, and the read-back of a write would overrun its one-page buffer.
inline bool InRange(int page, int offset, int length)
{
    return page >= 0 && page < kPageCount && offset >= 0 && offset < kPageSize && length >= 0 &&
        length <= kPageSize - offset;
}

// True when bytes 260-263 of `page` hold, little-endian, the checksum of
// bytes 0-259.
inline bool CarriesValidChecksum(const PageCrc &crc, const Scratch &page)
{
    const std::uint32_t stored = std::uint32_t(page[260]) | (std::uint32_t(page[261]) << 8) |
        (std::uint32_t(page[262]) << 16) | (std::uint32_t(page[263]) << 24);
    return crc.ComputeCrc(page.data(), kChecksumOffset) == stored;
}

} // namespace kelvara::vendor_page
