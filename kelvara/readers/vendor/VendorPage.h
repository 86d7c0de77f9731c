// What the two vendor adapters share: the argument checks of a page
// transfer and the checksum test of a page read back after a write.
#pragma once

#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageCrc.h"

#include <array>
#include <cstdint>

namespace kelvara::vendor_page {

// The page a write is read back into. The adapters value-initialise it:
// bytes a partial read-back leaves alone are zero, so the verdict never
// depends on what memory held before.
using Scratch = std::array<std::uint8_t, card::kPageSize>;

// Page 0-2047, offset 0-263, length 0 or more, and the transfer inside the
// page: a vendor library would otherwise be asked for bytes of the next
// page, and the read-back of a write would overrun its one-page buffer.
inline bool InRange(int page, int offset, int length) { return card::TransferInPage(page, offset, length); }

// True when bytes 260-263 of `page` hold, little-endian, the checksum of
// bytes 0-259.
inline bool CarriesValidChecksum(const PageCrc &crc, const Scratch &page)
{
    return crc.ComputeCrc(page.data(), card::kCheckedBytes) == card::Get32(page.data() + card::kCrcOffset);
}

} // namespace kelvara::vendor_page
