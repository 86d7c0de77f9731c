// The wire trace: with the environment variable KELVARA_TRACE naming a file,
// every frame the reader back-ends send and receive is written to it as one
// line (a monotonic time stamp, the back-end, the direction and a decoded
// summary; format in docs/trace.md). Off by default. The environment is read
// once; after that a hook costs one load and one branch while tracing is off:
//
//     if (trace::On()) trace::SerialCommand(frame);
//
// Page contents are the users' data: they are left out of the trace (their
// length and check bytes stay) unless KELVARA_TRACE_SECRETS=1.
//
// The hooks never throw and never fail the operation they watch: a trace file
// that cannot be written is given up silently.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kelvara::trace {

namespace detail {
// 0 the environment not read yet, 1 off, 2 on.
extern std::atomic<int> g_state;
int ReadEnvironment() noexcept;
} // namespace detail

inline bool On() noexcept
{
    const int state = detail::g_state.load(std::memory_order_relaxed);
    return state == 2 || (state == 0 && detail::ReadEnvironment() == 2);
}

// Directions of a line: the host sent it, the host received it, or something
// that happened on the host's side (a port opened, a library call).
inline constexpr char kOut = '>';
inline constexpr char kIn = '<';
inline constexpr char kNote = '=';

// --- summaries (pure; the hooks below write them) -------------------------

// A 12-byte command frame of the maker's readers: "READ page=5 offset=0
// length=264"; parameters the command does not use are left out.
std::string CommandSummary(std::span<const std::uint8_t> frame);
// Bytes as hex pairs separated by spaces; `from`..`to` (a half-open range) is
// replaced by "<N hidden>" when `hide` is set.
std::string Hex(std::span<const std::uint8_t> bytes, std::size_t from = 0, std::size_t to = 0, bool hide = false);
// Whether KELVARA_TRACE_SECRETS=1 was set when tracing began.
bool ShowsSecrets();

// --- the hooks ---------------------------------------------------------------

// Any line: `summary` and, when not empty, " | " and `hex`.
void Write(std::string_view backend, char direction, std::string_view summary, std::string_view hex = {});

// The serial reader: a port opened (result of OpenPort), a command frame
// sent, a write's data phase sent, and the reply to `sent` as it was judged
// (`code`: the reply code; `received` the bytes that arrived; `body` the n
// the host expected).
namespace detail {
void SerialOpen(std::string_view port, std::uint32_t baudRate, int result);
void SerialCommand(std::span<const std::uint8_t> frame);
void SerialData(std::span<const std::uint8_t> data, std::uint8_t sum, std::uint8_t xorValue);
void SerialReply(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> received, std::size_t body,
                 int code);
void UsbTransfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame, const std::uint8_t *reply,
                 std::uint32_t result);
} // namespace detail

inline void SerialOpen(std::string_view port, std::uint32_t baudRate, int result)
{
    if (On())
        detail::SerialOpen(port, baudRate, result);
}
inline void SerialCommand(std::span<const std::uint8_t> frame)
{
    if (On())
        detail::SerialCommand(frame);
}
inline void SerialData(std::span<const std::uint8_t> data, std::uint8_t sum, std::uint8_t xorValue)
{
    if (On())
        detail::SerialData(data, sum, xorValue);
}
inline void SerialReply(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> received, std::size_t body,
                        int code)
{
    if (On())
        detail::SerialReply(sent, received, body, code);
}

// The USB reader: one driver request (its code, the bytes asked for, the
// input frame and the output buffer) and its result (0 or an error code),
// which it passes on.
inline std::uint32_t UsbTransfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame,
                                 const std::uint8_t *reply, std::uint32_t result)
{
    if (On())
        detail::UsbTransfer(request, length, frame, reply, result);
    return result;
}

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
