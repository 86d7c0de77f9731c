// The millisecond clock the exchange measures its time-out with. Only
// differences of two readings are used, so the count may wrap. One
// implementation per OS.
#pragma once

#include <cstdint>

namespace sampora {

// Milliseconds of a clock that never follows changes of the wall clock.
std::uint32_t ClockMs();

} // namespace sampora
