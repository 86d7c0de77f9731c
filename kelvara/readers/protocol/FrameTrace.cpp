// The frames of the maker's readers as trace lines.
#include "kelvara/readers/protocol/FrameTrace.h"

#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/readers/usb/UsbChannel.h"

#include <cstdio>

namespace kelvara::trace {

namespace {

constexpr std::size_t kStatusByte = 4;

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

bool IsLetterOrDigit(std::uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::string Mnemonic(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 4)
        return "?";
    std::string m;
    for (std::size_t i = 0; i < 4; ++i) {
        if (!IsLetterOrDigit(frame[i]))
            return "?";
        m += static_cast<char>(frame[i]);
    }
    return m;
}

std::string Letter(std::span<const std::uint8_t> reply)
{
    if (reply.size() <= kStatusByte)
        return "none";
    const std::uint8_t c = reply[kStatusByte];
    if (c >= 0x21 && c <= 0x7E)
        return std::string(1, static_cast<char>(c));
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", c);
    return hex;
}

std::string Number(long value) { return std::to_string(value); }

} // namespace

std::string CommandSummary(std::span<const std::uint8_t> frame)
{
    const std::string m = Mnemonic(frame);
    if (frame.size() < kCommandFrameSize)
        return m;
    if (m == "READ" || m == "WRTE" || m == "RE98" || m == "WR98")
        return m + " page=" + Number(Le16(frame, 4)) + " offset=" + Number(Le16(frame, 6)) +
            " length=" + Number(Le16(frame, 8));
    if (m == "PART")
        return m + " piece=" + Number(Le16(frame, 4)) + " length=" + Number(Le16(frame, 8));
    if (m == "BDRT")
        return m + " speed=" + Number(frame[4]);
    return m;
}

void detail::SerialOpen(std::string_view port, std::uint32_t baudRate, int result)
{
    try {
        const char *outcome = result == 1 ? "ok" : result == 0 ? "not-configured" : "failed";
        Write("serial", kNote,
              "open port=" + std::string(port) + " speed=" + Number(long(baudRate)) + " result=" + outcome);
    } catch (...) {
    }
}

void detail::SerialCommand(std::span<const std::uint8_t> frame)
{
    try {
        Write("serial", kOut, CommandSummary(frame), Hex(frame));
    } catch (...) {
    }
}

void detail::SerialData(std::span<const std::uint8_t> data, std::uint8_t sum, std::uint8_t xorValue)
{
    try {
        char checks[32];
        std::snprintf(checks, sizeof checks, " sum=%02X xor=%02X", sum, xorValue);
        Write("serial", kOut, "data length=" + Number(long(data.size())) + checks,
              Hex(data, 0, data.size(), !ShowsSecrets()));
    } catch (...) {
    }
}

void detail::SerialReply(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> received, std::size_t body,
                         int code)
{
    try {
        std::string status;
        if (code == -2)
            status = "timeout";
        else if (received.size() <= kStatusByte)
            status = "failed";
        else if (code == -1 && received[kStatusByte] != 'R')
            status = "bad";
        else
            status = Letter(received);
        std::string summary = Mnemonic(sent) + " status=" + status;
        // Only a good 'P' reply to READ carries page data (bytes 5 to n-1).
        const bool carriesData = code == 0 && body > 5 && received.size() >= body;
        if (carriesData)
            summary += " data=" + Number(long(body - 5));
        summary += " bytes=" + Number(long(received.size()));
        Write("serial", kIn, summary, Hex(received, 5, carriesData ? body : 5, carriesData && !ShowsSecrets()));
    } catch (...) {
    }
}

void detail::UsbTransfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame,
                         const std::uint8_t *reply, std::uint32_t result)
{
    try {
        const bool legacy = request == usb_request::kReceiveLegacy || request == usb_request::kSendLegacy;
        const bool send = request == usb_request::kSendLegacy || request == usb_request::kSend;
        const std::string suffix = legacy ? " request=98" : "";
        std::string failure;
        if (result != 0)
            failure = result == usb_error::kSemTimeout ? " status=timeout error=121"
                                                       : " status=failed error=" + Number(long(result));
        if (send) {
            const std::span<const std::uint8_t> bytes(frame, frame != nullptr ? length : 0);
            const bool command = length == kCommandFrameSize && Mnemonic(bytes) != "?";
            if (command)
                Write("usb", kOut, CommandSummary(bytes) + suffix + failure, Hex(bytes));
            else
                Write("usb", kOut, "data length=" + Number(long(length)) + suffix + failure,
                      Hex(bytes, 0, bytes.size(), !ShowsSecrets()));
            return;
        }
        const std::span<const std::uint8_t> bytes(reply, reply != nullptr && result == 0 ? length : 0);
        if (result != 0) {
            Write("usb", kIn,
                  Mnemonic(std::span(frame, frame != nullptr ? kCommandFrameSize : 0)) + failure +
                      " bytes=" + Number(long(length)) + suffix);
            return;
        }
        // The echo of a reply is not checked by the reader's protocol; the
        // command it answers is the input frame of the request.
        const std::span<const std::uint8_t> sent(frame, frame != nullptr ? kCommandFrameSize : 0);
        std::string summary = Mnemonic(sent) + " status=" + Letter(bytes);
        const bool carriesData = length > 7;
        if (carriesData)
            summary += " data=" + Number(long(length - 7));
        summary += " bytes=" + Number(long(length)) + suffix;
        Write("usb", kIn, summary, Hex(bytes, 5, carriesData ? length - 2 : 5, carriesData && !ShowsSecrets()));
    } catch (...) {
    }
}

} // namespace kelvara::trace
