// The wire trace's hooks over the library's trace file.
#include "kelvara/services/Trace.h"

#include "common/MonotonicClock.h"

#include <algorithm>
#include <cstdio>

namespace kelvara::trace {

namespace {

std::string Number(long value) { return std::to_string(value); }

} // namespace

wqn::TraceFile &File()
{
    static wqn::TraceFile *file =
        new wqn::TraceFile("KELVARA_TRACE", "KELVARA_TRACE_SECRETS", "kelvara trace 1", ", page data shown");
    return *file;
}

void Begin(const std::string &path, bool secrets) { File().Begin(path, secrets); }

bool ShowsSecrets() { return File().ShowsSecrets(); }

std::int64_t NowUs() { return wqn::MonotonicUs(); }

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

void Write(std::string_view backend, char direction, std::string_view summary, std::string_view hex)
{
    try {
        std::string line(backend);
        line += ' ';
        line += direction;
        line += ' ';
        line += summary;
        if (!hex.empty()) {
            line += " | ";
            line += hex;
        }
        File().WriteLine(line);
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
