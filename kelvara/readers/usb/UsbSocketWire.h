// How the USB reader's requests travel on Linux: over a Unix-domain stream
// socket (path in WQN_USB_READER) to whatever plays the reader, usually
// kelvara-usb-sim. Our own small framing, all integers 32-bit little-endian:
//
//   request:  code, sequence, length, then `length` bytes for the two send
//             codes (nothing for the receives and the recovery request)
//   answer:   sequence, status, count, then `count` bytes for the two
//             receive codes (count <= length)
//
// `code` is the driver's request code (usb_request), `status` 0 or a
// Windows error code, `count` the bytes the request moved. Each request
// gets exactly one answer, in order; the host numbers its requests and
// drops an answer whose sequence is not the one it waits for (a late
// answer to a request it has given up on).
#pragma once

#include "kelvara/readers/usb/UsbChannel.h"

#include <array>
#include <cstdint>

namespace kelvara::usb_wire {

inline constexpr std::size_t kHeaderSize = 12;
// The most bytes one request or answer may carry; more is a broken peer.
inline constexpr std::uint32_t kMaxPayload = 4096;

using Header = std::array<std::uint8_t, kHeaderSize>;

inline Header Pack(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    Header h{};
    const std::uint32_t v[3] = {a, b, c};
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t k = 0; k < 4; ++k)
            h[i * 4 + k] = std::uint8_t(v[i] >> (8 * k));
    return h;
}

inline std::uint32_t Field(const Header &h, std::size_t index)
{
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k)
        v |= std::uint32_t(h[index * 4 + k]) << (8 * k);
    return v;
}

inline bool CarriesRequestBytes(std::uint32_t code)
{
    return code == usb_request::kSend || code == usb_request::kSendLegacy;
}

inline bool CarriesAnswerBytes(std::uint32_t code)
{
    return code == usb_request::kReceive || code == usb_request::kReceiveLegacy;
}

inline bool IsLegacy(std::uint32_t code)
{
    return code == usb_request::kSendLegacy || code == usb_request::kReceiveLegacy;
}

} // namespace kelvara::usb_wire
