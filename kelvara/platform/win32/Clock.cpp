// The process clock on Windows: a steady clock counted from library load,
// and Sleep.
#include "kelvara/services/Clock.h"

#include "kelvara/platform/win32/WindowsHeaders.h"

#include <chrono>

namespace kelvara {
namespace {

class Win32Clock final : public Clock {
public:
    std::int64_t NowMs() override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now() - start_).count();
    }
    void SleepMs(int ms) override
    {
        if (ms > 0) {
            ::Sleep(DWORD(ms));
        }
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

Win32Clock &Instance()
{
    static Win32Clock clock;
    return clock;
}

[[maybe_unused]] const bool g_started = (Instance(), true);

} // namespace

Clock &SystemClock() { return Instance(); }

} // namespace kelvara
