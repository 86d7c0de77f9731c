// The wire trace of the maker's serial and USB readers: their 12-byte
// command frames and replies decoded into one line each (format in
// docs/trace.md). The hooks cost one load and one branch while tracing is
// off, never throw and never fail the operation they watch.
#pragma once

#include "kelvara/services/Trace.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kelvara::trace {

// A 12-byte command frame of the maker's readers: "READ page=5 offset=0
// length=264"; parameters the command does not use are left out.
std::string CommandSummary(std::span<const std::uint8_t> frame);

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

} // namespace kelvara::trace
