// Builds the checksum table and runs the page checksum.
#include "kelvara/card/PageCrc.h"

namespace kelvara {
namespace {

std::uint32_t Reflect(std::uint32_t value, int bits)
{
    std::uint32_t out = 0;
    for (int i = 0; i < bits; ++i) {
        if ((value >> i) & 1u)
            out |= 1u << (bits - 1 - i);
    }
    return out;
}

} // namespace

PageCrc::PageCrc()
{
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = Reflect(i, 8) << 24;
        for (int step = 0; step < 8; ++step)
            r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
        table_[i] = Reflect(r, 32);
    }
}

std::uint32_t PageCrc::ComputeCrc(const std::uint8_t *bytes, std::size_t count) const
{
    std::uint32_t c = 0;
    for (std::size_t i = 0; i < count; ++i)
        c = ((c << 8) | bytes[i]) ^ table_[c >> 24];
    return c;
}

} // namespace kelvara
