// The Windows wall clock's conversion, open to tests.
#pragma once

#include <cstdint>

namespace wqn {

// A FILETIME's value (100-nanosecond intervals since 1601-01-01 UTC) as
// seconds since 1970-01-01 UTC, rounded down.
std::int64_t UnixTimeOfFileTime(std::uint64_t fileTime);

} // namespace wqn
