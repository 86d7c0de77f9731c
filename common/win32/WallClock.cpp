// The wall clock on Windows: GetSystemTimeAsFileTime (there on every
// Windows the DLLs support), not the C runtime's time(), whose time_t is
// 32 bits in the 32-bit msvcrt build and wraps in January 2038.
#include "common/WallClock.h"

#include "common/win32/WallClock.h"
#include "common/win32/WindowsHeaders.h"

namespace wqn {

std::int64_t UnixTimeOfFileTime(std::uint64_t fileTime)
{
    constexpr std::int64_t kTicksPerSecond = 10000000;
    constexpr std::int64_t kSeconds1601To1970 = 11644473600;
    // Values up to 2^63 (the year 30828, SYSTEMTIME's limit) stay positive.
    return static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSeconds1601To1970;
}

std::int64_t UnixTimeNow()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return UnixTimeOfFileTime((std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

} // namespace wqn
