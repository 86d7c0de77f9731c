// The exchange clock on Linux: the monotonic clock.
#include "sampora/Clock.h"

#include <chrono>

namespace sampora {

std::uint32_t ClockMs()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace sampora
