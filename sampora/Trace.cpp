// The Sampora wire trace: its writer and the decoding of the command set.
#include "sampora/Trace.h"

#include "common/Lock.h"

#include <cstdio>
#include <string_view>

namespace sampora::trace {

namespace {

// Replies carry no echo: each is named after the last command sent.
struct LastCommand {
    wqn::Lock lock;
    std::string name = "?";
};

LastCommand &TheLastCommand()
{
    // Never destroyed: the worker may still poll while statics go away.
    static LastCommand *last = new LastCommand();
    return *last;
}

void WriteLine(char direction, const std::string &summary, const std::string &hex)
{
    std::string line = "sampora ";
    line += direction;
    line += ' ';
    line += summary;
    if (!hex.empty())
        line += " | " + hex;
    File().WriteLine(line);
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

wqn::TraceFile &File()
{
    static wqn::TraceFile *file =
        new wqn::TraceFile("SAMPORA_TRACE", "SAMPORA_TRACE_SECRETS", "sampora trace 1", ", secrets shown");
    return *file;
}

void Begin(const std::string &path, bool secrets) { File().Begin(path, secrets); }

void detail::Command(const std::uint8_t *frame, std::size_t size) noexcept
{
    try {
        const Decoded d = DecodeCommand(frame, size, File().ShowsSecrets());
        LastCommand &last = TheLastCommand();
        wqn::LockHolder hold(last.lock);
        last.name = d.summary.substr(0, d.summary.find(' '));
        WriteLine('>', d.summary, d.hex);
    } catch (...) {
    }
}

void detail::Reply(const sampora::Reply &reply) noexcept
{
    try {
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
        LastCommand &last = TheLastCommand();
        wqn::LockHolder hold(last.lock);
        WriteLine('<', last.name + " status=" + std::to_string(reply.status) + " data=" + std::to_string(reply.length),
                  HexOf(frame, 0, n));
    } catch (...) {
    }
}

void detail::Timeout(unsigned elapsedMs) noexcept
{
    try {
        LastCommand &last = TheLastCommand();
        wqn::LockHolder hold(last.lock);
        WriteLine('<', last.name + " status=timeout ms=" + std::to_string(elapsedMs), "");
    } catch (...) {
    }
}

} // namespace sampora::trace
