// The one monotonic clock of both libraries: every time-out, pause and
// trace time stamp is read from it. It never follows changes of the wall
// clock (libstdc++'s steady_clock of the win32 thread model does). One
// implementation per OS.
#pragma once

#include <cstdint>

namespace wqn {

// Microseconds since an arbitrary start; never goes backwards.
std::int64_t MonotonicUs();

// Blocks the calling thread until MonotonicUs() reaches `whenUs` (returns
// at once when it has).
void SleepUntilUs(std::int64_t whenUs);

inline void SleepMs(int ms)
{
    if (ms > 0)
        SleepUntilUs(MonotonicUs() + std::int64_t(ms) * 1000);
}

} // namespace wqn
