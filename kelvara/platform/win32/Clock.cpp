// The process clock on Windows: GetTickCount carried into 64 bits, counted
// from library load, and Sleep. (libstdc++'s steady_clock of the win32
// thread model follows the wall clock, which a user may set back.)
#include "kelvara/services/Clock.h"

#include "kelvara/platform/win32/WindowsHeaders.h"

namespace kelvara {
namespace {

class Win32Clock final : public Clock {
public:
    Win32Clock()
    {
        ::InitializeCriticalSection(&lock_);
        last_ = ::GetTickCount();
        start_ = last_;
    }
    // Never deleted (see Instance), so never destroyed while in use.
    ~Win32Clock() override = default;

    std::int64_t NowMs() override
    {
        ::EnterCriticalSection(&lock_);
        const DWORD now = ::GetTickCount();
        if (now < last_)
            wraps_ += 1; // the 32-bit count passed 49.7 days
        last_ = now;
        const std::int64_t ms = (wraps_ << 32) + std::int64_t(now) - std::int64_t(start_);
        ::LeaveCriticalSection(&lock_);
        return ms;
    }

    void SleepMs(int ms) override
    {
        if (ms > 0)
            ::Sleep(DWORD(ms));
    }

private:
    CRITICAL_SECTION lock_;
    DWORD start_ = 0;
    DWORD last_ = 0;
    std::int64_t wraps_ = 0;
};

Win32Clock &Instance()
{
    // Outlives every static object: a clock read from another object's
    // destructor at unload still works.
    static Win32Clock *clock = new Win32Clock();
    return *clock;
}

[[maybe_unused]] const bool g_started = (Instance(), true);

} // namespace

Clock &SystemClock() { return Instance(); }

} // namespace kelvara
