// The one seam through which the card file system moves pages: the reader
// manager offers it for the attached reader, and tests put an in-memory or
// image-backed card behind it.
#pragma once

#include <cstdint>

namespace kelvara {

class PageDevice {
public:
    virtual ~PageDevice() = default;

    // Reads `length` bytes from `offset` of `page` into `buffer`. Blocks until
    // the reader answered; false when the transfer failed or the arguments
    // are out of range.
    virtual bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) = 0;

    // Writes `length` bytes from `buffer` to `offset` of `page`; same rules.
    virtual bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) = 0;
};

} // namespace kelvara
