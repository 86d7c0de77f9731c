// Parsing wire traces and adding up what they show.
#include "tools/kelvara/TraceReport.h"

#include <algorithm>
#include <cstdlib>
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
        if (kind == "read") {
            ++stats_.pageReads;
            stats_.bytesRead += succeeded ? length : 0;
        } else {
            ++stats_.pageWrites;
            stats_.bytesWritten += succeeded ? length : 0;
        }
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

} // namespace

std::vector<TraceLine> ParseTrace(std::string_view text, int &skipped)
{
    std::vector<TraceLine> lines;
    skipped = 0;
    int run = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string raw(text.substr(at, end - at));
        at = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        if (raw.empty())
            continue;
        if (raw[0] == '#') {
            ++run;
            continue;
        }
        TraceLine line;
        line.run = run;
        const std::size_t bar = raw.find(" | ");
        if (bar != std::string::npos) {
            line.hex = raw.substr(bar + 3);
            raw.erase(bar);
        }
        std::istringstream in(raw);
        std::string time, direction;
        if (!(in >> time >> line.backend >> direction) || direction.size() != 1 ||
            std::string_view("<>=").find(direction[0]) == std::string_view::npos) {
            ++skipped;
            continue;
        }
        char *parsedEnd = nullptr;
        line.seconds = std::strtod(time.c_str(), &parsedEnd);
        if (parsedEnd == time.c_str() || *parsedEnd != '\0') {
            ++skipped;
            continue;
        }
        line.direction = direction[0];
        std::getline(in >> std::ws, line.summary);
        std::istringstream words(line.summary);
        words >> line.operation;
        for (std::string word; words >> word;) {
            const std::size_t eq = word.find('=');
            if (eq != std::string::npos)
                line.fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

TraceStats ComputeTraceStats(const std::vector<TraceLine> &lines)
{
    TraceStats stats;
    Accumulator acc(stats);
    int run = -1;
    double first = 0;
    double last = 0;
    for (const TraceLine &line : lines) {
        if (line.run != run) {
            acc.EndRun();
            stats.seconds += last - first;
            ++stats.runs;
            run = line.run;
            first = line.seconds;
        }
        last = line.seconds;
        ++stats.lines;
        if (line.direction == '>')
            acc.Sent(line);
        else if (line.direction == '<')
            acc.Received(line);
        else
            acc.Call(line);
    }
    acc.EndRun();
    if (run >= 0)
        stats.seconds += last - first;
    return stats;
}

} // namespace kelvara::tool
