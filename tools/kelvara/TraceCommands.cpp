// kelvara trace FILE: a wire trace as a table, or its figures with --stats.
#include "tools/kelvara/Tool.h"
#include "tools/kelvara/TraceReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace kelvara::tool {
namespace {

struct TraceArguments {
    std::string file;
    bool stats = false;
};

nlohmann::json LineJson(const TraceLine &line)
{
    nlohmann::json doc{{"run", line.run},
                       {"time", line.seconds},
                       {"backend", line.backend},
                       {"direction", std::string(1, line.direction)},
                       {"operation", line.operation},
                       {"summary", line.summary},
                       {"fields", line.fields}};
    if (!line.hex.empty())
        doc["bytes"] = line.hex;
    return doc;
}

nlohmann::json StatsJson(const TraceStats &s)
{
    nlohmann::json operations = nlohmann::json::array();
    for (const auto &[key, t] : s.operations) {
        const std::size_t space = key.find(' ');
        operations.push_back({{"backend", key.substr(0, space)},
                              {"operation", key.substr(space + 1)},
                              {"count", t.count},
                              {"total_ms", t.totalMs},
                              {"mean_ms", t.count > 0 ? t.totalMs / t.count : 0.0},
                              {"max_ms", t.maxMs}});
    }
    return {{"lines", s.lines},
            {"runs", s.runs},
            {"malformed", s.malformed},
            {"seconds", s.seconds},
            {"page_reads", s.pageReads},
            {"page_writes", s.pageWrites},
            {"bytes_read", s.bytesRead},
            {"bytes_written", s.bytesWritten},
            {"failed_transfers", s.failedTransfers},
            {"retries", s.retries},
            {"timeouts", s.timeouts},
            {"operations", operations}};
}

void PrintHeading() { std::printf("%3s %12s  %-8s %-3s %s\n", "run", "seconds", "back-end", "dir", "summary"); }

void PrintRow(const TraceLine &line, bool withBytes)
{
    std::printf("%3d %12.6f  %-8s %-3c %s", line.run, line.seconds, line.backend.c_str(), line.direction,
                line.summary.c_str());
    if (withBytes && !line.hex.empty())
        std::printf("  [%s]", line.hex.c_str());
    std::printf("\n");
}

void PrintStats(const TraceStats &s)
{
    std::printf("lines: %lld in %lld run%s, %.3f s\n", s.lines, s.runs, s.runs == 1 ? "" : "s", s.seconds);
    if (s.malformed > 0)
        std::printf("malformed lines left out: %lld\n", s.malformed);
    std::printf("page transfers: %lld read%s (%lld bytes), %lld write%s (%lld bytes), %lld failed\n", s.pageReads,
                s.pageReads == 1 ? "" : "s", s.bytesRead, s.pageWrites, s.pageWrites == 1 ? "" : "s", s.bytesWritten,
                s.failedTransfers);
    std::printf("retries: %lld\n", s.retries);
    std::printf("time-outs: %lld\n", s.timeouts);
    std::printf("%-8s %-22s %7s %11s %9s %9s\n", "back-end", "operation", "count", "total ms", "mean ms", "max ms");
    for (const auto &[key, t] : s.operations) {
        const std::size_t space = key.find(' ');
        std::printf("%-8s %-22s %7lld %11.1f %9.2f %9.2f\n", key.substr(0, space).c_str(),
                    key.substr(space + 1).c_str(), t.count, t.totalMs,
                    t.count > 0 ? t.totalMs / static_cast<double>(t.count) : 0.0, t.maxMs);
    }
}

// Each line is printed as it is read (the JSON document too, one element at
// a time), so a trace of any size needs only a line's worth of memory.
int ShowTrace(Session &session, const TraceArguments &args)
{
    std::error_code ec;
    if (std::filesystem::is_directory(args.file, ec)) {
        std::fprintf(stderr, "kelvara: cannot read %s: it is a directory\n", args.file.c_str());
        return kFailed;
    }
    std::ifstream in(args.file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kelvara: cannot read %s: %s\n", args.file.c_str(), std::strerror(errno));
        return kFailed;
    }
    const bool json = session.options().json;
    TraceReader reader(in);
    TraceLine line;
    TraceStatsBuilder builder;
    // The table and the JSON document open at the first trace line, so a
    // file without one prints nothing.
    while (reader.Next(line)) {
        const bool first = reader.Lines() == 1;
        if (args.stats) {
            builder.Add(line);
        } else if (json) {
            const std::string element = LineJson(line).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            std::fputs(first ? "{\"lines\":[" : ",", stdout);
            std::fwrite(element.data(), 1, element.size(), stdout);
        } else {
            if (first)
                PrintHeading();
            PrintRow(line, session.options().verbosity >= 1);
        }
    }
    if (json && !args.stats && reader.Lines() > 0)
        std::fputs("]}\n", stdout);
    const bool failed = in.bad();
    if (failed)
        std::fprintf(stderr, "kelvara: %s could not be read to its end: %s\n", args.file.c_str(), std::strerror(errno));
    if (reader.Malformed() > 0)
        std::fprintf(
            stderr,
            "kelvara: %s: %lld line%s left out: not trace lines, or numbers no trace holds (the first is line %lld)\n",
            args.file.c_str(), reader.Malformed(), reader.Malformed() == 1 ? "" : "s", reader.FirstMalformed());
    // A file without a single trace line is not a trace, even an empty one.
    if (reader.Lines() == 0) {
        std::fprintf(stderr, "kelvara: %s holds no trace lines\n", args.file.c_str());
        return kFailed;
    }
    if (args.stats && !failed) {
        TraceStats stats = builder.Finish();
        stats.malformed = reader.Malformed();
        if (json)
            session.PrintJson(StatsJson(stats));
        else
            PrintStats(stats);
    }
    return failed ? kFailed : kOk;
}

} // namespace

void AddTraceCommands(CLI::App &app, Step &step)
{
    auto args = std::make_shared<TraceArguments>();
    CLI::App *trace = app.add_subcommand("trace", "show a wire trace (KELVARA_TRACE or SAMPORA_TRACE) as a table")
                          ->group("Diagnostics");
    trace->add_option("FILE", args->file, "the trace file")->required();
    trace->add_flag("--stats", args->stats, "page transfers, retries, time-outs and the time of each operation");
    trace->footer(
        "-v adds each line's bytes. Malformed lines are left out and counted on standard error. The format is "
        "described in docs/trace.md.");
    trace->callback([&step, args] { step = [args](Session &s) { return ShowTrace(s, *args); }; });
}

} // namespace kelvara::tool
