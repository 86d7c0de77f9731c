// Setting and reading any line speed in bits per second on a Linux tty.
// termios only knows the B constants, which lack speeds such as 14400, so
// this goes through termios2 in its own file (the kernel's termbits clash
// with <termios.h>).
#pragma once

#include <cstdint>

namespace kelvara::posix {

// Sets input and output speed to `baud`; false when the tty refused.
bool SetLineSpeed(int fd, std::uint32_t baud);
// The tty's output speed; false when it cannot be read.
bool GetLineSpeed(int fd, std::uint32_t &baud);

} // namespace kelvara::posix
