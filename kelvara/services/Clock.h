// The millisecond clock and the sleep every time-out of the library is
// measured with. Protocol code takes a Clock so tests can run it on a
// scripted time line.
#pragma once

#include <cstdint>

namespace kelvara {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the process started; never goes backwards.
    virtual std::int64_t NowMs() = 0;
    // Blocks the calling thread for about `ms` milliseconds (0: returns).
    virtual void SleepMs(int ms) = 0;
};

// The real clock of the process.
Clock &SystemClock();

} // namespace kelvara
