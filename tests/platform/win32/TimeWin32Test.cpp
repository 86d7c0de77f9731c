// Times past January 2038 on Windows, where the 32-bit C runtime's time_t
// ends: the card's file time stamp from a SYSTEMTIME and the trace header's
// seconds from a FILETIME, and LocalTimeStamp taken from the Windows clock.
#include "common/win32/WallClock.h"
#include "common/win32/WindowsHeaders.h"
#include "kelvara/platform/win32/LocalTime.h"
#include "kelvara/services/LocalFiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace kelvara {
namespace {

SYSTEMTIME Calendar(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME time{};
    time.wYear = WORD(year);
    time.wMonth = WORD(month);
    time.wDay = WORD(day);
    time.wHour = WORD(hour);
    time.wMinute = WORD(minute);
    time.wSecond = WORD(second);
    time.wMilliseconds = 999;
    return time;
}

std::uint64_t FileTimeOf(const SYSTEMTIME &time)
{
    FILETIME file{};
    EXPECT_TRUE(::SystemTimeToFileTime(&time, &file));
    return (std::uint64_t(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

TEST(WindowsTime, StampsAndUnixSecondsOnBothSidesOf2038)
{
    struct Case {
        SYSTEMTIME time;
        const char *stamp;
        std::int64_t unixSeconds;
    };
    const Case cases[] = {
        {Calendar(1970, 1, 1, 0, 0, 0), "19700101000000", 0},
        {Calendar(2026, 12, 8, 9, 5, 7), "20261208090507", 1796720707},
        {Calendar(2038, 1, 19, 3, 14, 7), "20380119031407", 2147483647},
        {Calendar(2038, 1, 19, 3, 14, 8), "20380119031408", 2147483648},
        {Calendar(2106, 2, 7, 6, 28, 16), "21060207062816", 4294967296},
        {Calendar(9999, 12, 31, 23, 59, 59), "99991231235959", 253402300799},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stamp);
        EXPECT_EQ(TimeStampOf(c.time), c.stamp);
        EXPECT_EQ(wqn::UnixTimeOfFileTime(FileTimeOf(c.time)), c.unixSeconds);
    }
}

TEST(WindowsTime, LocalTimeStampIsTheLocalCalendarNow)
{
    SYSTEMTIME before{};
    SYSTEMTIME after{};
    ::GetLocalTime(&before);
    const std::string stamp = LocalTimeStamp();
    ::GetLocalTime(&after);
    EXPECT_TRUE(stamp == TimeStampOf(before) || stamp == TimeStampOf(after)) << stamp;
}

} // namespace
} // namespace kelvara
