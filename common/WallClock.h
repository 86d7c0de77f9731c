// The wall clock, for the few places that record when something happened
// (the trace header). Time-outs never use it: they use MonotonicClock. One
// implementation per OS; each is 64-bit throughout, so it counts on past
// January 2038 where the C runtime's time_t is 32 bits (32-bit msvcrt).
#pragma once

#include <cstdint>

namespace wqn {

// Seconds since 1970-01-01 00:00:00 UTC.
std::int64_t UnixTimeNow();

} // namespace wqn
