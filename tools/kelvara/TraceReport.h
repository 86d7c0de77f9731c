// Reading a wire trace written by libkelvara or libsampora (KELVARA_TRACE,
// SAMPORA_TRACE; format in docs/trace.md) back into lines, and the figures a
// support desk asks first: page transfers, retries, time-outs, and the time
// each kind of operation took. Pure: text in, figures out.
#pragma once

#include <cstdint>
#include <map>
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
    int count = 0;
    double totalMs = 0;
    double maxMs = 0;
};

struct TraceStats {
    int lines = 0;
    int runs = 0;
    int pageReads = 0;
    int pageWrites = 0;
    long long bytesRead = 0;
    long long bytesWritten = 0;
    int failedTransfers = 0; // page transfers that did not end in success
    int retries = 0; // a failed page transfer repeated at once
    int timeouts = 0;
    double seconds = 0; // covered by the lines, summed over the runs
    // Keyed by "backend operation".
    std::map<std::string, OperationTimes> operations;
};

// Parses `text`; lines that are not trace lines are counted in `skipped`.
std::vector<TraceLine> ParseTrace(std::string_view text, int &skipped);

TraceStats ComputeTraceStats(const std::vector<TraceLine> &lines);

} // namespace kelvara::tool
