// Parsing wire traces and adding up what they show.
#include "tools/kelvara/TraceReport.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace kelvara::tool {
namespace {

// An operation in progress on one back-end: a command sent and what came
// back for it.
struct OpenOperation {
    bool open = false;
    std::string key; // "backend operation"
    double start = 0;
    double end = 0;
    std::string transferKind; // "read", "write" or empty
    std::string identity; // operation and its page, offset, length
    long long length = 0;
    bool succeeded = false;
};

struct LastTransfer {
    std::string identity;
    bool failed = false;
};

bool IsReadCommand(const std::string &op) { return op == "READ" || op == "RE98"; }
bool IsWriteCommand(const std::string &op) { return op == "WRTE" || op == "WR98"; }
bool IsVendorRead(const std::string &op) { return op == "IC_DirectRead" || op == "AT45D_BundleReadChar"; }
bool IsVendorWrite(const std::string &op) { return op == "IC_DirectWrite" || op == "AT45D_BundleWriteChar"; }

std::string Field(const TraceLine &line, const std::string &name)
{
    const auto it = line.fields.find(name);
    return it == line.fields.end() ? std::string() : it->second;
}

std::string Identity(const TraceLine &line)
{
    return line.operation + " " + Field(line, "page") + " " + Field(line, "offset") + " " + Field(line, "length");
}

bool Succeeded(const TraceLine &reply)
{
    const std::string status = Field(reply, "status");
    // The maker's readers answer 'P' when done; Sampora's reader 1.
    return reply.backend == "sampora" ? status == "1" : status == "P";
}

class Accumulator {
public:
    explicit Accumulator(TraceStats &stats)
        : stats_(stats)
    {
    }

    void Sent(const TraceLine &line)
    {
        if (line.operation == "data") {
            if (OpenOperation *op = Current(line.backend))
                op->end = line.seconds;
            return;
        }
        Close(line.backend);
        OpenOperation &op = ops_[line.backend];
        op = {};
        op.open = true;
        op.key = line.backend + " " + line.operation;
        op.start = op.end = line.seconds;
        if (IsReadCommand(line.operation) || IsWriteCommand(line.operation)) {
            op.transferKind = IsReadCommand(line.operation) ? "read" : "write";
            op.identity = Identity(line);
            op.length = std::atoll(Field(line, "length").c_str());
        }
    }

    void Received(const TraceLine &line)
    {
        if (Field(line, "status") == "timeout")
            ++stats_.timeouts;
        OpenOperation *op = Current(line.backend);
        if (op == nullptr)
            return;
        op->end = line.seconds;
        op->succeeded = Succeeded(line);
    }

    void Call(const TraceLine &line)
    {
        // A vendor library call is an operation of its own, timed by itself.
        const std::string us = Field(line, "us");
        if (us.empty())
            return;
        const double ms = std::atof(us.c_str()) / 1000.0;
        Count(line.backend + " " + line.operation, ms);
        const bool read = IsVendorRead(line.operation);
        const bool write = IsVendorWrite(line.operation);
        if (!read && !write)
            return;
        const std::string identity = Identity(line);
        // The read-back that checks a write is part of that write.
        const bool verification = read && lastVendorWrite_ == identity;
        lastVendorWrite_ = write ? identity : std::string();
        if (verification)
            return;
        Transfer(line.backend, read ? "read" : "write", identity, std::atoll(Field(line, "length").c_str()),
                 Field(line, "result") == "0");
    }

    void EndRun()
    {
        for (auto &[backend, op] : ops_)
            Close(backend);
        ops_.clear();
        last_.clear();
        lastVendorWrite_.clear();
    }

private:
    OpenOperation *Current(const std::string &backend)
    {
        const auto it = ops_.find(backend);
        return it != ops_.end() && it->second.open ? &it->second : nullptr;
    }

    void Close(const std::string &backend)
    {
        OpenOperation *op = Current(backend);
        if (op == nullptr)
            return;
        op->open = false;
        Count(op->key, (op->end - op->start) * 1000.0);
        if (!op->transferKind.empty())
            Transfer(backend, op->transferKind, op->identity, op->length, op->succeeded);
    }

    void Count(const std::string &key, double ms)
    {
        OperationTimes &t = stats_.operations[key];
        ++t.count;
        t.totalMs += ms;
        t.maxMs = std::max(t.maxMs, ms);
    }

    void Transfer(const std::string &backend, const std::string &kind, const std::string &identity, long long length,
                  bool succeeded)
    {
        long long &bytes = kind == "read" ? stats_.bytesRead : stats_.bytesWritten;
        ++(kind == "read" ? stats_.pageReads : stats_.pageWrites);
        if (succeeded && length > 0)
            bytes = length > std::numeric_limits<long long>::max() - bytes ? std::numeric_limits<long long>::max()
                                                                           : bytes + length;
        if (!succeeded)
            ++stats_.failedTransfers;
        LastTransfer &last = last_[backend];
        if (last.failed && last.identity == identity)
            ++stats_.retries;
        last = {identity, !succeeded};
    }

    TraceStats &stats_;
    std::map<std::string, OpenOperation> ops_;
    std::map<std::string, LastTransfer> last_;
    std::string lastVendorWrite_;
};

// A trace line is a few hundred bytes; one longer than this is not one.
constexpr std::size_t kLongestLine = 64 * 1024;
// No transfer moves more than this, and no trace covers more seconds (or
// microseconds in one call): larger numbers are not from a tracer.
constexpr long long kLargestLength = std::numeric_limits<std::int32_t>::max();
constexpr double kLargestTime = 1e12;

// A decimal number of digits with an optional fraction, as the tracers
// write times and durations (no sign, no exponent, no "inf").
bool PlainNumber(const std::string &text, double limit, double &value)
{
    std::size_t digits = 0, dots = 0;
    for (char c : text) {
        digits += c >= '0' && c <= '9' ? 1 : 0;
        dots += c == '.' ? 1 : 0;
    }
    if (digits == 0 || dots > 1 || digits + dots != text.size() || text[0] == '.')
        return false;
    value = std::strtod(text.c_str(), nullptr);
    return value <= limit;
}

} // namespace

TraceReader::TraceReader(std::istream &in)
    : in_(in)
{
}

bool TraceReader::ReadRaw(std::string &raw, bool &tooLong)
{
    raw.clear();
    tooLong = false;
    bool any = false;
    char buffer[4096];
    for (;;) {
        in_.getline(buffer, sizeof buffer);
        const auto got = static_cast<std::size_t>(in_.gcount());
        if (got == 0 && in_.fail())
            break; // the end of the stream
        any = true;
        const bool newline = !in_.fail() && !in_.eof(); // got counts it
        const std::size_t length = newline ? got - 1 : got;
        if (!tooLong && raw.size() + length <= kLongestLine)
            raw.append(buffer, length);
        else
            tooLong = true;
        if (!in_.fail() || in_.eof())
            break; // the newline, or the last line without one
        in_.clear(); // the buffer is full and the line goes on
    }
    if (any)
        ++number_;
    return any;
}

bool TraceReader::Next(TraceLine &line)
{
    std::string raw;
    bool tooLong = false;
    while (ReadRaw(raw, tooLong)) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        if (raw.empty() && !tooLong)
            continue;
        if (!tooLong && raw[0] == '#') {
            ++run_;
            continue;
        }
        if (!tooLong && Parse(raw, line)) {
            ++lines_;
            return true;
        }
        if (malformed_++ == 0)
            firstMalformed_ = number_;
    }
    return false;
}

bool TraceReader::Parse(std::string &raw, TraceLine &line) const
{
    line = {};
    line.run = run_;
    const std::size_t bar = raw.find(" | ");
    if (bar != std::string::npos) {
        line.hex = raw.substr(bar + 3);
        raw.erase(bar);
    }
    std::istringstream in(raw);
    std::string time, direction;
    if (!(in >> time >> line.backend >> direction) || direction.size() != 1 ||
        std::string_view("<>=").find(direction[0]) == std::string_view::npos)
        return false;
    if (!PlainNumber(time, kLargestTime, line.seconds))
        return false;
    line.direction = direction[0];
    std::getline(in >> std::ws, line.summary);
    std::istringstream words(line.summary);
    words >> line.operation;
    for (std::string word; words >> word;) {
        const std::size_t eq = word.find('=');
        if (eq != std::string::npos)
            line.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    // The numbers the figures add up.
    double number = 0;
    const auto length = line.fields.find("length");
    if (length != line.fields.end() && !PlainNumber(length->second, static_cast<double>(kLargestLength), number))
        return false;
    if (length != line.fields.end() && length->second.find('.') != std::string::npos)
        return false;
    const auto us = line.fields.find("us");
    return us == line.fields.end() || PlainNumber(us->second, kLargestTime * 1e6, number);
}

struct TraceStatsBuilder::State {
    TraceStats stats;
    Accumulator acc{stats};
    int run = -1;
    double first = 0;
    double last = 0;
};

TraceStatsBuilder::TraceStatsBuilder()
    : state_(std::make_unique<State>())
{
}

TraceStatsBuilder::~TraceStatsBuilder() = default;

void TraceStatsBuilder::Add(const TraceLine &line)
{
    State &s = *state_;
    if (line.run != s.run) {
        s.acc.EndRun();
        s.stats.seconds += s.last - s.first;
        ++s.stats.runs;
        s.run = line.run;
        s.first = line.seconds;
    }
    s.last = line.seconds;
    ++s.stats.lines;
    if (line.direction == '>')
        s.acc.Sent(line);
    else if (line.direction == '<')
        s.acc.Received(line);
    else
        s.acc.Call(line);
}

TraceStats TraceStatsBuilder::Finish()
{
    State &s = *state_;
    s.acc.EndRun();
    if (s.run >= 0)
        s.stats.seconds += s.last - s.first;
    return s.stats;
}

std::vector<TraceLine> ParseTrace(std::string_view text, long long &malformed)
{
    std::istringstream in{std::string(text)};
    TraceReader reader(in);
    std::vector<TraceLine> lines;
    for (TraceLine line; reader.Next(line);)
        lines.push_back(std::move(line));
    malformed = reader.Malformed();
    return lines;
}

TraceStats ComputeTraceStats(const std::vector<TraceLine> &lines)
{
    TraceStatsBuilder builder;
    for (const TraceLine &line : lines)
        builder.Add(line);
    return builder.Finish();
}

} // namespace kelvara::tool
