// The wall clock on Linux: time_t is 64 bits on the platforms built.
#include "common/WallClock.h"

#include <ctime>

namespace wqn {

static_assert(sizeof(std::time_t) == 8, "a 32-bit time_t ends in January 2038");

std::int64_t UnixTimeNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

} // namespace wqn
