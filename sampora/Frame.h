// The wire frame shared by commands and replies:
//   0x60, L, L payload bytes, exclusive-or of everything before, 0x03.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sampora {

inline constexpr std::uint8_t kStartMark = 0x60;
inline constexpr std::uint8_t kEndMark = 0x03;

// Frames a payload for sending. The payload must not exceed 255 bytes (the
// length byte); the commands never come close.
std::vector<std::uint8_t> BuildFrame(const std::uint8_t *payload, std::size_t length);

} // namespace sampora
