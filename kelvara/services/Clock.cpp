// The process clock: the one monotonic clock both libraries share, counted
// from library load.
#include "kelvara/services/Clock.h"

#include "common/MonotonicClock.h"

namespace kelvara {
namespace {

class ProcessClock final : public Clock {
public:
    std::int64_t NowMs() override { return (wqn::MonotonicUs() - startUs_) / 1000; }
    void SleepMs(int ms) override { wqn::SleepMs(ms); }

private:
    std::int64_t startUs_ = wqn::MonotonicUs();
};

ProcessClock &Instance()
{
    // Outlives every static object: a clock read from another object's
    // destructor at unload still works.
    static ProcessClock *clock = new ProcessClock();
    return *clock;
}

// Starts the count at load rather than at the first call.
[[maybe_unused]] const bool g_started = (Instance(), true);

} // namespace

Clock &SystemClock() { return Instance(); }

} // namespace kelvara
