// The local time stamp from the Windows calendar: LocalTimeStamp takes the
// time from GetLocalTime, which has no 2038 limit (the C runtime's time_t
// is 32 bits in the 32-bit msvcrt build), and formats it here; open to
// tests for any date.
#pragma once

#include "common/win32/WindowsHeaders.h"

#include <string>

namespace kelvara {

// `time` as "%Y%m%d%H%M%S", the form of LocalTimeStamp.
std::string TimeStampOf(const SYSTEMTIME &time);

} // namespace kelvara
