// The 32-bit checksum carried in the last four bytes of every page the
// system writes whole. It pairs the reflected CRC-32 table with a
// left-shifting, augmenting update from zero and no final inversion; cards
// already in use depend on it bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvara {

class PageCrc {
public:
    static constexpr std::uint32_t kPolynomial = 0x04C11DB7u;

    PageCrc();

    std::uint32_t ComputeCrc(const std::uint8_t *bytes, std::size_t count) const;
    std::uint32_t TableEntry(int index) const { return table_[static_cast<std::size_t>(index & 0xFF)]; }

private:
    std::array<std::uint32_t, 256> table_{};
};

} // namespace kelvara
