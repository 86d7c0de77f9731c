// The process clock on Linux: a monotonic clock counted from the first use,
// which happens during static initialisation of the library.
#include "kelvara/services/Clock.h"

#include <cerrno>
#include <ctime>

namespace kelvara {
namespace {

std::int64_t MonotonicMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class PosixClock final : public Clock {
public:
    std::int64_t NowMs() override { return MonotonicMs() - start_; }

    void SleepMs(int ms) override
    {
        if (ms <= 0) {
            return;
        }
        timespec left{ms / 1000, long(ms % 1000) * 1000000L};
        while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }

private:
    std::int64_t start_ = MonotonicMs();
};

PosixClock &Instance()
{
    static PosixClock clock;
    return clock;
}

// Starts the count at load rather than at the first call.
[[maybe_unused]] const bool g_started = (Instance(), true);

} // namespace

Clock &SystemClock() { return Instance(); }

} // namespace kelvara
