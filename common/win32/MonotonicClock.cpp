// The monotonic clock on Windows: the performance counter, there on every
// Windows the DLLs support (XP included), and Sleep.
#include "common/MonotonicClock.h"

#include "common/win32/WindowsHeaders.h"

namespace wqn {

std::int64_t MonotonicUs()
{
    LARGE_INTEGER frequency{}, now{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    const std::int64_t perSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
    return now.QuadPart / perSecond * 1000000 + now.QuadPart % perSecond * 1000000 / perSecond;
}

void SleepUntilUs(std::int64_t whenUs)
{
    for (;;) {
        const std::int64_t left = whenUs - MonotonicUs();
        if (left <= 0)
            return;
        ::Sleep(DWORD((left + 999) / 1000));
    }
}

} // namespace wqn
