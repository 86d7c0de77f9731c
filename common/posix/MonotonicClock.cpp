// The monotonic clock on Linux: CLOCK_MONOTONIC and nanosleep.
#include "common/MonotonicClock.h"

#include <cerrno>
#include <ctime>

namespace wqn {

std::int64_t MonotonicUs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepUntilUs(std::int64_t whenUs)
{
    const std::int64_t left = whenUs - MonotonicUs();
    if (left <= 0)
        return;
    timespec rest{time_t(left / 1000000), long(left % 1000000) * 1000L};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

} // namespace wqn
