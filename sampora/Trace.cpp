// The Sampora wire trace: its writer and the decoding of the command set.
#include "sampora/Trace.h"
#include "sampora/Lock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace sampora::trace {

namespace detail {
std::atomic<int> g_state{0};
} // namespace detail

namespace {

constexpr int kUnread = 0;
constexpr int kOff = 1;
constexpr int kOn = 2;

struct Writer {
    Lock lock;
    std::FILE *file = nullptr;
    bool secrets = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::string lastCommand = "?"; // replies carry no echo: named after the last command
};

Writer &TheWriter()
{
    // Never destroyed: the worker may still poll while statics go away.
    static Writer *writer = new Writer();
    return *writer;
}

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
    std::fprintf(w.file, "# sampora trace 1, began at unix time %lld, times in seconds since then%s\n",
                 static_cast<long long>(std::time(nullptr)), secrets ? ", secrets shown" : "");
    std::fflush(w.file);
    return true;
}

// Writes one line; the caller holds the lock.
void WriteLocked(Writer &w, char direction, const std::string &summary, const std::string &hex)
{
    if (w.file == nullptr)
        return;
    using namespace std::chrono;
    const long long us = duration_cast<microseconds>(steady_clock::now() - w.start).count();
    std::string line = std::to_string(us / 1000000);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06lld", us % 1000000);
    line += fraction;
    line += " sampora ";
    line += direction;
    line += ' ';
    line += summary;
    if (!hex.empty())
        line += " | " + hex;
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), w.file) != line.size() || std::fflush(w.file) != 0) {
        std::fclose(w.file);
        w.file = nullptr;
        detail::g_state.store(kOff, std::memory_order_relaxed);
    }
}

struct CommandShape {
    std::uint8_t code;
    const char *name;
    // Names of the parameter bytes after the command byte, in order; an
    // entry "*" takes the rest of the payload as data.
    std::string_view parameters[7];
    // Payload positions (counting the command byte as 0) from which on the
    // bytes are secret; 0 when none are.
    std::size_t secretFrom;
};

// The command set as the reader understands it.
const CommandShape kCommands[] = {
    {0x31, "OpenCard", {}, 0},
    {0x38, "CloseCard", {}, 0},
    {0x35, "OpenReader", {}, 0},
    {0x36, "CloseReader", {}, 0},
    {0x32, "ReadBlock", {"selector", "block"}, 0},
    {0x33, "WriteBlock", {"selector", "block", "*"}, 0},
    {0x3B, "ReadCardFile", {"file_high", "file_low", "index", "first", "count"}, 0},
    {0x39, "WriteCardFile", {"file_high", "file_low", "index", "first", "zero", "length", "*"}, 0},
    {0x34, "DownSecret", {"selector", "sector", "*key"}, 3},
    {0x37, "SelectSAMCatalog", {}, 0},
    {0x3A, "WriteSecret", {"selector", "sector", "*secret"}, 3},
    {0x3C, "WriteMAC", {"length", "*mac_input"}, 2},
    {0x3D, "SetMAD", {"first", "second", "third"}, 0},
    {0x3E, "RestoreCard", {"first_sector", "count", "*"}, 0},
    {0x08, "AllowDeep", {}, 0},
    {0x09, "DisAllowDeep", {}, 0},
    {0x0A, "OpCorrectDeep", {}, 0},
    {0x0B, "OpIncorrectDeep", {}, 0},
    {0xE0, "ReSend", {}, 0},
};

std::string HexOf(const std::uint8_t *bytes, std::size_t from, std::size_t to)
{
    std::string out;
    for (std::size_t i = from; i < to; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        if (!out.empty())
            out += ' ';
        out += pair;
    }
    return out;
}

void Append(std::string &out, const std::string &part)
{
    if (part.empty())
        return;
    if (!out.empty())
        out += ' ';
    out += part;
}

// Appends " key=value" (GCC 12 warns wrongly on chains of string +).
void AddField(std::string &out, std::string_view key, const std::string &value)
{
    out += ' ';
    out += key;
    out += '=';
    out += value;
}

std::string Hidden(std::size_t count)
{
    std::string text = std::to_string(count);
    text.insert(text.begin(), '<');
    text += " hidden>";
    return text;
}

} // namespace

Decoded DecodeCommand(const std::uint8_t *frame, std::size_t size, bool secrets)
{
    Decoded d;
    // 0x60, L, L payload bytes, check byte, 0x03.
    if (frame == nullptr || size < 4 || frame[1] + 4u != size || frame[1] == 0) {
        d.summary = "frame";
        d.hex = frame != nullptr ? HexOf(frame, 0, size) : "";
        return d;
    }
    const std::uint8_t *payload = frame + 2;
    const std::size_t length = frame[1];
    const CommandShape *shape = nullptr;
    for (const CommandShape &c : kCommands) {
        if (c.code == payload[0])
            shape = &c;
    }
    char unknown[16];
    std::snprintf(unknown, sizeof unknown, "command=%02X", payload[0]);
    d.summary = shape != nullptr ? shape->name : unknown;
    const bool hide = shape != nullptr && shape->secretFrom != 0 && !secrets;
    std::size_t at = 1;
    for (std::size_t i = 0; shape != nullptr && i < std::size(shape->parameters) && at < length; ++i) {
        const std::string_view name = shape->parameters[i];
        if (name.empty())
            break;
        if (name[0] == '*') {
            AddField(d.summary, name.size() > 1 ? name.substr(1) : std::string_view("data"),
                     hide && at >= shape->secretFrom ? Hidden(length - at) : HexOf(payload, at, length));
            at = length;
            break;
        }
        AddField(d.summary, name, std::to_string(payload[at]));
        ++at;
    }
    if (at < length)
        AddField(d.summary, "extra", std::to_string(length - at));
    // The hex: the secret part of the payload and the check byte (an
    // exclusive-or over the secret bytes) are hidden.
    if (hide) {
        Append(d.hex, HexOf(frame, 0, 2 + shape->secretFrom));
        Append(d.hex, Hidden(length - shape->secretFrom + 1));
        Append(d.hex, HexOf(frame, size - 1, size));
    } else {
        d.hex = HexOf(frame, 0, size);
    }
    return d;
}

int detail::ReadEnvironment() noexcept
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        int state = g_state.load(std::memory_order_relaxed);
        if (state != kUnread)
            return state;
        const char *path = std::getenv("SAMPORA_TRACE");
        const char *secrets = std::getenv("SAMPORA_TRACE_SECRETS");
        const bool show = secrets != nullptr && std::string_view(secrets) == "1";
        state = path != nullptr && OpenLocked(w, path, show) ? kOn : kOff;
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

void detail::Command(const std::uint8_t *frame, std::size_t size) noexcept
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        const Decoded d = DecodeCommand(frame, size, w.secrets);
        w.lastCommand = d.summary.substr(0, d.summary.find(' '));
        WriteLocked(w, '>', d.summary, d.hex);
    } catch (...) {
    }
}

void detail::Reply(const sampora::Reply &reply) noexcept
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        // The frame as it came: start mark, L, status, data, check, end mark.
        std::uint8_t frame[4 + 1 + 64];
        std::size_t n = 0;
        frame[n++] = 0x60;
        frame[n++] = static_cast<std::uint8_t>(reply.length + 1);
        frame[n++] = static_cast<std::uint8_t>(reply.status);
        for (std::size_t i = 0; i < reply.length && i < reply.data.size(); ++i)
            frame[n++] = reply.data[i];
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < n; ++i)
            check ^= frame[i];
        frame[n++] = check;
        frame[n++] = 0x03;
        WriteLocked(w, '<',
                    w.lastCommand + " status=" + std::to_string(reply.status) + " data=" + std::to_string(reply.length),
                    HexOf(frame, 0, n));
    } catch (...) {
    }
}

void detail::Timeout(unsigned elapsedMs) noexcept
{
    try {
        Writer &w = TheWriter();
        LockHolder hold(w.lock);
        WriteLocked(w, '<', w.lastCommand + " status=timeout ms=" + std::to_string(elapsedMs), "");
    } catch (...) {
    }
}

} // namespace sampora::trace
