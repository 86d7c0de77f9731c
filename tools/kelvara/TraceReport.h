// Reading a wire trace written by libkelvara or libsampora (KELVARA_TRACE,
// SAMPORA_TRACE; format in docs/trace.md) back into lines, and the figures a
// support desk asks first: page transfers, retries, time-outs, and the time
// each kind of operation took. Pure: text in, figures out.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara::tool {

struct TraceLine {
    int run = 0; // counts the header lines: a trace file may hold several runs
    double seconds = 0; // since the run began
    std::string backend;
    char direction = '?'; // '>' sent, '<' received, '=' on the host's side
    std::string operation; // the summary's first word
    std::string summary; // the whole summary
    std::map<std::string, std::string> fields; // the summary's key=value words
    std::string hex;
};

struct OperationTimes {
    long long count = 0;
    double totalMs = 0;
    double maxMs = 0;
};

// Counts that cannot overflow: the byte totals stop at the largest value
// rather than wrap.
struct TraceStats {
    long long lines = 0;
    long long runs = 0;
    long long malformed = 0; // lines left out: not trace lines, or numbers no trace holds
    long long pageReads = 0;
    long long pageWrites = 0;
    long long bytesRead = 0;
    long long bytesWritten = 0;
    long long failedTransfers = 0; // page transfers that did not end in success
    long long retries = 0; // a failed page transfer repeated at once
    long long timeouts = 0;
    double seconds = 0; // covered by the lines, summed over the runs
    // Keyed by "backend operation".
    std::map<std::string, OperationTimes> operations;
};

// A trace read line by line from a stream, so that memory stays bounded by
// the longest line however long the trace is. Lines that are not trace
// lines, are longer than any trace line, or carry a time, a length or a
// duration no trace writes (negative, not a number, out of range) are left
// out and counted.
class TraceReader {
public:
    explicit TraceReader(std::istream &in);
    // The next trace line; false at the end of the stream.
    bool Next(TraceLine &line);
    long long Lines() const { return lines_; } // trace lines given so far
    long long Malformed() const { return malformed_; }
    long long FirstMalformed() const { return firstMalformed_; } // its line number, from 1; 0 when none

private:
    bool ReadRaw(std::string &raw, bool &tooLong); // false at the end
    bool Parse(std::string &raw, TraceLine &line) const;

    std::istream &in_;
    int run_ = 0;
    long long number_ = 0;
    long long lines_ = 0;
    long long malformed_ = 0;
    long long firstMalformed_ = 0;
};

// The figures, added up a line at a time.
class TraceStatsBuilder {
public:
    TraceStatsBuilder();
    ~TraceStatsBuilder();
    void Add(const TraceLine &line);
    TraceStats Finish(); // once, after the last line

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The same over a whole text (for tests and small traces).
std::vector<TraceLine> ParseTrace(std::string_view text, long long &malformed);
TraceStats ComputeTraceStats(const std::vector<TraceLine> &lines);

} // namespace kelvara::tool
