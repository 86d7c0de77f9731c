// Fuzz target: the USB reader's reply decoding and the assembly of legacy
// reads, driven through UsbReader itself. The channel below stands in for the
// driver (this program is linked with it instead of the OS transport): every
// request takes its outcome, and every receive its reply bytes, from the
// fuzzer's input.
//
// Input: the transfer mode (standard or legacy), the operation (connect,
// read, write, version, lock, exit) with its page, offset and length, then
// one outcome byte per request (mostly success) and, for a successful
// receive, the reply's bytes.
//
// Properties: a read reported done hands out exactly the data of replies
// whose status and check bytes hold (the pieces in order, for a legacy read)
// and a failed read leaves the caller's buffer alone; a write reported done
// sent the caller's bytes with their check bytes and was confirmed by a 'P'
// reply with valid check bytes; the version text is at most 50 bytes and
// ends in a zero; Connect gives one of its four results.
#include "fuzz/FuzzInput.h"
#include "kelvara/readers/usb/UsbChannel.h"
#include "kelvara/readers/usb/UsbFrames.h"
#include "kelvara/readers/usb/UsbReader.h"
#include "kelvara/services/Settings.h"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace {

struct Request {
    std::uint32_t code;
    std::vector<std::uint8_t> bytes; // what a send carried or a receive got
    std::uint32_t result;
};

// The script of one run, shared with the channel's functions below.
struct Script {
    fuzz::Input *input = nullptr;
    std::vector<Request> requests;
    bool open = false;
};
Script script;

std::uint32_t Outcome()
{
    // Mostly success, so that whole exchanges happen often.
    const std::uint8_t b = script.input->Byte();
    if (script.input->Empty() && b == 0)
        return kelvara::usb_error::kSemTimeout; // the reader is silent once the input ends
    if (b < 0xE0)
        return 0;
    constexpr std::uint32_t errors[] = {kelvara::usb_error::kGenFailure, kelvara::usb_error::kSemTimeout,
                                        kelvara::usb_error::kBufferOverflow, kelvara::usb_error::kDeviceNotConnected};
    return errors[b % 4];
}

int WaitMs = -1;

} // namespace

// The stand-ins for the OS transport and the settings store.
namespace kelvara {

bool UsbNeedsLegacyTransfers() { return false; }

std::uint32_t UsbChannel::Open()
{
    const std::uint32_t result = Outcome() == 0 ? 0 : usb_error::kNoMoreItems;
    script.open = result == 0;
    handle_ = script.open ? 1 : kNoHandle;
    return result;
}

void UsbChannel::Close()
{
    script.open = false;
    handle_ = kNoHandle;
}

bool UsbChannel::IsOpen() const { return handle_ != kNoHandle; }

std::uint32_t UsbChannel::Transfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame,
                                   std::uint8_t *reply)
{
    FUZZ_CHECK(length <= 512);
    Request r{request, {}, 0};
    if (!IsOpen()) {
        r.result = usb_error::kInvalidHandle;
    } else if (request == usb_request::kSend || request == usb_request::kSendLegacy) {
        r.bytes.assign(frame, frame + length);
        r.result = Outcome();
    } else {
        r.result = Outcome();
        if (r.result == 0) {
            const std::string_view bytes = script.input->Bytes(length);
            std::memcpy(reply, bytes.data(), bytes.size());
            std::memset(reply + bytes.size(), 0, length - bytes.size());
            r.bytes.assign(reply, reply + length);
        }
    }
    script.requests.push_back(r);
    return r.result;
}

int ReadSettingInt(std::string_view, int defaultValue) { return WaitMs < 0 ? defaultValue : WaitMs; }
std::string ReadSettingText(std::string_view, std::string_view defaultValue) { return std::string(defaultValue); }
bool WriteSettingInt(std::string_view, int value)
{
    WaitMs = value;
    return true;
}
bool WriteSettingText(std::string_view, std::string_view) { return true; }
std::string SettingsLocation() { return "fuzz"; }

} // namespace kelvara

namespace {

using namespace kelvara;

bool IsReceive(const Request &r) { return r.code == usb_request::kReceive || r.code == usb_request::kReceiveLegacy; }
bool IsSend(const Request &r) { return r.code == usb_request::kSend || r.code == usb_request::kSendLegacy; }

bool ChecksHold(const std::vector<std::uint8_t> &reply, std::size_t m)
{
    if (reply.size() < m + 2)
        return false;
    const CheckBytes c = ComputeCheckBytes(std::span(reply.data(), m));
    return reply[m] == c.sum && reply[m + 1] == c.xorValue;
}

std::vector<const Request *> Successful(bool (*kind)(const Request &))
{
    std::vector<const Request *> out;
    for (const Request &r : script.requests) {
        if (kind(r) && r.result == 0)
            out.push_back(&r);
    }
    return out;
}

void CheckRead(bool legacy, int length, const std::uint8_t *out, int result)
{
    const std::vector<const Request *> replies = Successful(IsReceive);
    if (result == 0) {
        for (int i = 0; i < length; ++i)
            FUZZ_CHECK(out[i] == 0xA5); // untouched
        return;
    }
    std::vector<std::uint8_t> expected;
    if (!legacy) {
        FUZZ_CHECK(!replies.empty());
        const auto &reply = replies.back()->bytes;
        FUZZ_CHECK(reply.size() == std::size_t(length) + 7 && reply[4] == 'P' && ChecksHold(reply, length + 5));
        expected.assign(reply.begin() + 5, reply.begin() + 5 + length);
    } else {
        // The first reply and each PART reply, in order, each with valid check bytes.
        for (const Request *r : replies) {
            const std::size_t n = r->bytes.size() - 7;
            FUZZ_CHECK(ChecksHold(r->bytes, n + 5));
            expected.insert(expected.end(), r->bytes.begin() + 5, r->bytes.begin() + 5 + long(n));
        }
    }
    FUZZ_CHECK(expected.size() == std::size_t(length));
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), out));
}

void CheckWrite(int length, const std::uint8_t *data, int result)
{
    if (result == 0)
        return;
    const std::vector<const Request *> replies = Successful(IsReceive);
    FUZZ_CHECK(!replies.empty());
    const auto &last = replies.back()->bytes;
    FUZZ_CHECK(last.size() == 7 && last[4] == 'P' && ChecksHold(last, 5));
    // Everything sent after the command frame: the data, then its check bytes.
    std::vector<std::uint8_t> sent;
    const std::vector<const Request *> sends = Successful(IsSend);
    for (std::size_t i = 1; i < sends.size(); ++i)
        sent.insert(sent.end(), sends[i]->bytes.begin(), sends[i]->bytes.end());
    FUZZ_CHECK(sent.size() == std::size_t(length) + 2);
    FUZZ_CHECK(std::equal(data, data + length, sent.begin()));
    const CheckBytes c = ComputeCheckBytes(std::span(data, std::size_t(length)));
    FUZZ_CHECK(sent[std::size_t(length)] == c.sum && sent[std::size_t(length) + 1] == c.xorValue);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    script = Script{&in, {}, false};
    WaitMs = -1;
    const std::uint8_t mode = in.Byte();
    const bool legacy = mode & 1;
    const bool noBuffer = (mode & 0x80) != 0; // the caller passes a null buffer
    const std::uint8_t operation = in.Byte() % 6;
    const int page = in.Word() % 2100;
    const int offset = in.Word() % 300;
    const int length = in.Word() % 300;

    UsbReader reader(legacy ? UsbReader::Transfers::Legacy : UsbReader::Transfers::Standard);
    FUZZ_CHECK(reader.LegacyMode() == legacy);
    std::array<std::uint8_t, 600> buffer;
    buffer.fill(0xA5);
    switch (operation) {
    case 0: {
        const int result = reader.Connect();
        FUZZ_CHECK(result == 0 || result == 1 || result == 2 || result == 100);
        FUZZ_CHECK(reader.IsConnected() == (result != 0));
        break;
    }
    case 1:
    case 2: {
        if (reader.Connect() == 0)
            break;
        script.requests.clear();
        if (operation == 1) {
            const int result = reader.ReadBlock(page, offset, length, noBuffer ? nullptr : buffer.data());
            FUZZ_CHECK(result == 0 || result == 1);
            FUZZ_CHECK(!noBuffer || result == (length == 0 && page < 2048 && offset < 264 ? 1 : 0));
            if (!noBuffer && length > 0 && page < 2048 && offset < 264 && length <= 264)
                CheckRead(legacy, length, buffer.data(), result);
        } else {
            for (int i = 0; i < length; ++i)
                buffer[std::size_t(i)] = std::uint8_t(i * 7 + 1);
            const int result = reader.WriteBlock(page, offset, length, noBuffer ? nullptr : buffer.data());
            FUZZ_CHECK(result == 0 || result == 1);
            FUZZ_CHECK(!noBuffer || result == (length == 0 && page < 2048 && offset < 264 ? 1 : 0));
            if (!noBuffer && length > 0 && page < 2048 && offset < 264 && length <= 264)
                CheckWrite(length, buffer.data(), result);
        }
        break;
    }
    case 3: {
        char text[51];
        std::memset(text, 'x', sizeof text);
        if (reader.Connect() != 0 && noBuffer)
            FUZZ_CHECK(!reader.GetVersion(nullptr));
        else if (reader.IsConnected() && reader.GetVersion(text)) {
            const char *end = static_cast<const char *>(std::memchr(text, 0, sizeof text));
            FUZZ_CHECK(end != nullptr);
        }
        break;
    }
    case 4:
        if (reader.Connect() != 0)
            (void)reader.CardLock();
        break;
    default:
        if (reader.Connect() != 0)
            (void)reader.CardExit();
        break;
    }
    return 0;
}
