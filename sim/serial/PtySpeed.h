// The line speed a host set on a pty, read through termios2 (which knows
// speeds such as 14400 that have no B constant).
#pragma once

#include <cstdint>

namespace wqn::sim {

bool ReadPtySpeed(int fd, std::uint32_t &baud);
bool WritePtySpeed(int fd, std::uint32_t baud);

} // namespace wqn::sim
