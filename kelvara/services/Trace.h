// The wire trace: with the environment variable KELVARA_TRACE naming a file,
// every frame the reader back-ends send and receive is written to it as one
// line (a monotonic time stamp, the back-end, the direction and a decoded
// summary; format in docs/trace.md). Off by default. The environment is read
// once; after that a hook costs one load and one branch while tracing is off:
//
//     if (trace::On()) trace::SerialCommand(frame);
//
// This file holds what every back-end uses; the frames of the maker's
// readers are decoded in kelvara/readers/protocol/FrameTrace.h.
//
// Page contents are the users' data: they are left out of the trace (their
// length and check bytes stay) unless KELVARA_TRACE_SECRETS=1.
//
// The hooks never throw and never fail the operation they watch: a trace file
// that cannot be written is given up silently.
#pragma once

#include "common/TraceFile.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kelvara::trace {

// The library's trace file (never destroyed).
wqn::TraceFile &File();

inline bool On() noexcept { return File().On(); }

// Directions of a line: the host sent it, the host received it, or something
// that happened on the host's side (a port opened, a library call).
inline constexpr char kOut = '>';
inline constexpr char kIn = '<';
inline constexpr char kNote = '=';

// --- summaries (pure) -------------------------------------------------------

// Bytes as hex pairs separated by spaces; `from`..`to` (a half-open range) is
// replaced by "<N hidden>" when `hide` is set.
std::string Hex(std::span<const std::uint8_t> bytes, std::size_t from = 0, std::size_t to = 0, bool hide = false);
// Whether KELVARA_TRACE_SECRETS=1 was set when tracing began.
bool ShowsSecrets();

// --- the hooks ---------------------------------------------------------------

// Any line: `summary` and, when not empty, " | " and `hex`.
void Write(std::string_view backend, char direction, std::string_view summary, std::string_view hex = {});

// Up to three named integer arguments of a vendor library call; cheap to
// build, turned into words only when traced.
struct Args {
    const char *names[3] = {nullptr, nullptr, nullptr};
    long values[3] = {0, 0, 0};
    Args() = default;
    Args(const char *n0, long v0)
        : names{n0, nullptr, nullptr},
          values{v0, 0, 0}
    {
    }
    Args(const char *n0, long v0, const char *n1, long v1)
        : names{n0, n1, nullptr},
          values{v0, v1, 0}
    {
    }
    Args(const char *n0, long v0, const char *n1, long v1, const char *n2, long v2)
        : names{n0, n1, n2},
          values{v0, v1, v2}
    {
    }
};

// A vendor library call as the adapter made it: its arguments, its result
// and how long it took.
void VendorCall(std::string_view backend, std::string_view function, const Args &args, long result,
                std::int64_t elapsedUs);

// Microseconds on the trace's monotonic clock.
std::int64_t NowUs();

// Runs `call` (one vendor library function) and traces it when tracing is on.
template <class Call>
auto Vendor(std::string_view backend, std::string_view function, const Args &args, Call call)
{
    if (!On())
        return call();
    const std::int64_t start = NowUs();
    auto result = call();
    VendorCall(backend, function, args, static_cast<long>(result), NowUs() - start);
    return result;
}

// For tests and benchmarks: trace to `path` from now on (secrets as given),
// or stop tracing with an empty path. Not for the library's own use.
void Begin(const std::string &path, bool secrets);

} // namespace kelvara::trace
