// The wire trace's writer and the summaries of the frames it writes.
#include "kelvara/services/Trace.h"
#include "kelvara/services/Lock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace kelvara::trace {

namespace detail {
std::atomic<int> g_state{0};
} // namespace detail

namespace {

constexpr int kUnread = 0;
constexpr int kOff = 1;
constexpr int kOn = 2;

constexpr std::size_t kCommandFrameSize = 12;
constexpr std::size_t kStatusByte = 4;

struct Writer {
    Lock lock;
    std::FILE *file = nullptr;
    bool secrets = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

Writer &TheWriter()
{
    // Never destroyed: a hook may run from a destructor at unload.
    static Writer *writer = new Writer();
    return *writer;
}

bool EnvironmentFlag(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && std::string_view(value) == "1";
}

// Opens `path` for appending and writes the header; the caller holds the lock.
bool OpenLocked(Writer &w, const std::string &path, bool secrets)
{
    if (w.file != nullptr) {
        std::fclose(w.file);
        w.file = nullptr;
    }
    if (path.empty())
        return false;
    w.file = std::fopen(path.c_str(), "ab");
    if (w.file == nullptr)
        return false;
    w.secrets = secrets;
    w.start = std::chrono::steady_clock::now();
    std::fprintf(w.file, "# kelvara trace 1, began at unix time %lld, times in seconds since then%s\n",
                 static_cast<long long>(std::time(nullptr)), secrets ? ", page data shown" : "");
    std::fflush(w.file);
    return true;
}

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

int detail::ReadEnvironment() noexcept
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        int state = g_state.load(std::memory_order_relaxed);
        if (state != kUnread)
            return state;
        const char *path = std::getenv("KELVARA_TRACE");
        state = path != nullptr && OpenLocked(w, path, EnvironmentFlag("KELVARA_TRACE_SECRETS")) ? kOn : kOff;
        g_state.store(state, std::memory_order_relaxed);
        return state;
    } catch (...) {
        g_state.store(kOff, std::memory_order_relaxed);
        return kOff;
    }
}

void Begin(const std::string &path, bool secrets)
{
    Writer &w = TheWriter();
    LockHolder hold(w.lock);
    detail::g_state.store(OpenLocked(w, path, secrets) ? kOn : kOff, std::memory_order_relaxed);
}

bool ShowsSecrets()
{
    Writer &w = TheWriter();
    LockHolder hold(w.lock);
    return w.secrets;
}

std::int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Hex(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to, bool hide)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (hide && i >= from && i < to) {
            if (i == from) {
                if (!out.empty())
                    out += ' ';
                out += '<';
                out += std::to_string(std::min(to, bytes.size()) - from);
                out += " hidden>";
            }
            continue;
        }
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (!out.empty())
            out += ' ';
        out += pair;
    }
    return out;
}

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

void Write(std::string_view backend, char direction, std::string_view summary, std::string_view hex)
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        if (w.file == nullptr)
            return;
        using namespace std::chrono;
        const auto us = duration_cast<microseconds>(steady_clock::now() - w.start).count();
        std::string line = std::to_string(us / 1000000) + '.';
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, "%06lld", static_cast<long long>(us % 1000000));
        line += fraction;
        line += ' ';
        line += backend;
        line += ' ';
        line += direction;
        line += ' ';
        line += summary;
        if (!hex.empty()) {
            line += " | ";
            line += hex;
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), w.file) != line.size() || std::fflush(w.file) != 0) {
            // A full disk or a vanished file: give the trace up rather than
            // slow every frame down with failing writes.
            std::fclose(w.file);
            w.file = nullptr;
            detail::g_state.store(kOff, std::memory_order_relaxed);
        }
    } catch (...) {
    }
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
        // The driver's request codes: receive 98, send 98, receive, send.
        const bool legacy = request == 0x222000 || request == 0x222004;
        const bool send = request == 0x222004 || request == 0x22200C;
        const std::string suffix = legacy ? " request=98" : "";
        std::string failure;
        if (result != 0)
            failure = result == 121 ? " status=timeout error=121" : " status=failed error=" + Number(long(result));
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

void VendorCall(std::string_view backend, std::string_view function, const Args &args, long result,
                std::int64_t elapsedUs)
{
    try {
        std::string summary(function);
        for (int i = 0; i < 3 && args.names[i] != nullptr; ++i)
            summary += std::string(" ") + args.names[i] + "=" + Number(args.values[i]);
        summary += " result=" + Number(result) + " us=" + Number(long(elapsedUs));
        Write(backend, kNote, summary);
    } catch (...) {
    }
}

} // namespace kelvara::trace
