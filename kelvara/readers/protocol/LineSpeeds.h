// The line speeds a reader can be set to, by their speed index: the index
// the settings store as BaudRateIndex, the serial reader's speed command
// carries and the vendor adapters scan down from.
#pragma once

#include <array>
#include <cstdint>

namespace kelvara {

inline constexpr std::array<std::uint32_t, 7> kLineSpeeds = {4800, 9600, 14400, 19200, 38400, 57600, 115200};
inline constexpr std::uint8_t kHighestSpeedIndex = std::uint8_t(kLineSpeeds.size() - 1);

} // namespace kelvara
