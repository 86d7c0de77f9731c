// The wire trace: with the environment variable SAMPORA_TRACE naming a file,
// every frame sent to the reader and every reply frame recognised is written
// to it as one line: a monotonic time stamp, "sampora", the direction and a
// decoded summary (format in docs/trace.md). Off by default; the environment
// is read once, after which a hook costs one load and one branch while off.
//
// Keys (DownSecret), SAM secrets (WriteSecret) and MAC inputs (WriteMAC),
// and the check byte that would give them away, are written as "<N hidden>"
// unless SAMPORA_TRACE_SECRETS=1. The hooks never throw and never change the
// exchange they watch.
#pragma once

#include "sampora/ReceiveRing.h"

#include "common/TraceFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sampora::trace {

// The library's trace file (never destroyed).
wqn::TraceFile &File();

namespace detail {
void Command(const std::uint8_t *frame, std::size_t size) noexcept;
void Reply(const sampora::Reply &reply) noexcept;
void Timeout(unsigned elapsedMs) noexcept;
} // namespace detail

inline bool On() noexcept { return File().On(); }

// A whole command frame as it goes to the port.
inline void Command(const std::uint8_t *frame, std::size_t size)
{
    if (On())
        detail::Command(frame, size);
}
// A reply frame the parser recognised.
inline void Reply(const sampora::Reply &reply)
{
    if (On())
        detail::Reply(reply);
}
// An exchange that gave up waiting.
inline void Timeout(unsigned elapsedMs)
{
    if (On())
        detail::Timeout(elapsedMs);
}

// The summary of a command frame, with its secrets hidden unless `secrets`,
// and its bytes in hex (hidden the same way). Pure.
struct Decoded {
    std::string summary;
    std::string hex;
};
Decoded DecodeCommand(const std::uint8_t *frame, std::size_t size, bool secrets);

// For tests and benchmarks: trace to `path` from now on, or stop with an
// empty path.
void Begin(const std::string &path, bool secrets);

} // namespace sampora::trace
