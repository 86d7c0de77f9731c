// The wire trace of a real run: the kelvara tool against the serial reader
// simulator with KELVARA_TRACE set, checked against what the simulator logged
// it received, and read back by `kelvara trace`.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ToolRun.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <optional>

namespace kelvara::e2e {
namespace {

using kelvara::testing::ScopedEnv;
using kelvara::testing::ToolRun;

struct TraceEntry {
    std::string backend;
    std::string direction;
    std::string summary;
    std::string hex;
};

std::vector<TraceEntry> TraceEntries(const std::string &path)
{
    std::vector<TraceEntry> entries;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        TraceEntry e;
        std::istringstream words(line);
        std::string time;
        words >> time >> e.backend >> e.direction;
        std::getline(words >> std::ws, e.summary);
        const std::size_t bar = e.summary.find(" | ");
        if (bar != std::string::npos) {
            e.hex = e.summary.substr(bar + 3);
            e.summary.erase(bar);
        }
        entries.push_back(e);
    }
    return entries;
}

bool StartsWith(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// The frames the reader heard are the frames the host traced as sent, in
// order (frames sent at a speed the reader was not set to are lost on the
// line, so the trace may hold more).
void ExpectHeardFramesTracedInOrder(const std::vector<std::string> &heard, const std::vector<std::string> &sent)
{
    ASSERT_FALSE(heard.empty());
    std::size_t at = 0;
    for (const std::string &frame : heard) {
        while (at < sent.size() && sent[at] != frame)
            ++at;
        ASSERT_LT(at, sent.size()) << "the reader heard a frame the trace does not show: " << frame;
        ++at;
    }
}

class TraceE2e : public E2eTest {
protected:
    ToolRun Run(std::vector<std::string> args)
    {
        return kelvara::testing::RunProgram(KELVARA_TOOL_PATH, std::move(args), scratch.path(), HostEnvironment());
    }

    // Writes a file to the card through a reader (at the stored speed, so
    // the connection takes no time-out) whose first READ goes unanswered,
    // with the trace on; returns the trace's path.
    std::string TracedRun(bool secrets)
    {
        const std::string trace = scratch.File("wire.trace");
        const ScopedEnv traceFile("KELVARA_TRACE", trace);
        const ScopedEnv showSecrets("KELVARA_TRACE_SECRETS", secrets ? std::optional<std::string>("1") : std::nullopt);
        WriteFile(scratch.path() / "a.bin", std::string(700, 'k'));
        SerialSim sim(SimArgs({"--pace", "--speed", "115200", "--fault", "silence:READ:0:1"}));
        UseReaderOn(1, sim);
        const ToolRun run =
            Run({"--batch", "check", "--", "read-page", "5", "0", "16", "--", "put", "\\t", scratch.File("a.bin")});
        EXPECT_EQ(run.status, 0) << run.err;
        return trace;
    }
};

TEST_F(TraceE2e, EveryFrameTheReaderReceivedIsInTheTraceInOrderWithPageDataHidden)
{
    const std::vector<TraceEntry> entries = TraceEntries(TracedRun(false));
    ASSERT_FALSE(entries.empty());

    std::vector<std::string> sentFrames;
    for (const TraceEntry &e : entries) {
        EXPECT_EQ(e.backend, "serial");
        if (e.direction == ">" && !StartsWith(e.summary, "data"))
            sentFrames.push_back(e.hex);
    }
    ExpectHeardFramesTracedInOrder(ReceivedFrames(log), sentFrames);

    // Summaries are decoded from the frames; page data stay out.
    int timeouts = 0;
    int dataPhases = 0;
    for (const TraceEntry &e : entries) {
        if (e.hex == kStatFrame) {
            EXPECT_EQ(e.summary, "STAT");
        }
        if (e.hex == "52 45 41 44 05 00 00 00 10 00 31 07") { // READ of page 5, 16 bytes
            EXPECT_EQ(e.summary, "READ page=5 offset=0 length=16");
        }
        if (StartsWith(e.summary, "READ status=P")) {
            EXPECT_NE(e.hex.find(" hidden> "), std::string::npos) << e.hex;
            EXPECT_NE(e.summary.find("data="), std::string::npos);
        }
        if (StartsWith(e.summary, "data ")) {
            ++dataPhases;
            EXPECT_EQ(e.hex, "<264 hidden>");
        }
        timeouts += e.summary.find("status=timeout") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(dataPhases, static_cast<int>(LogLines(log, "RXDATA").size()));
    EXPECT_EQ(timeouts, 1) << "the one unanswered READ";
}

TEST_F(TraceE2e, WithSecretsTheDataPhasesAreTheBytesTheReaderReceived)
{
    const std::vector<TraceEntry> entries = TraceEntries(TracedRun(true));
    std::vector<std::string> traced;
    for (const TraceEntry &e : entries) {
        if (!StartsWith(e.summary, "data "))
            continue;
        // The data, then the sum and exclusive-or bytes the summary names.
        const std::string sum = e.summary.substr(e.summary.find("sum=") + 4, 2);
        const std::string x = e.summary.substr(e.summary.find("xor=") + 4, 2);
        traced.push_back(e.hex + " " + sum + " " + x);
    }
    EXPECT_EQ(traced, LogLines(log, "RXDATA"));
}

TEST_F(TraceE2e, TheToolReadsTheTraceBackAsATableAndAsFigures)
{
    const std::string trace = TracedRun(false);
    const std::vector<TraceEntry> entries = TraceEntries(trace);

    ToolRun run = Run({"trace", trace});
    ASSERT_EQ(run.status, 0) << run.err;
    std::size_t tableLines = 0;
    for (char c : run.out)
        tableLines += c == '\n' ? 1 : 0;
    EXPECT_EQ(tableLines, entries.size() + 1) << "a heading and one row a line";
    EXPECT_NE(run.out.find("READ page=5 offset=0 length=16"), std::string::npos);

    run = Run({"--json", "trace", "--stats", trace});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json stats = nlohmann::json::parse(run.out);
    const std::vector<std::string> heard = ReceivedFrames(log);
    int reads = 0;
    int writes = 0;
    for (const std::string &frame : heard) {
        reads += StartsWith(frame, "52 45 41 44") ? 1 : 0;
        writes += StartsWith(frame, "57 52 54 45") ? 1 : 0;
    }
    EXPECT_EQ(stats["page_reads"], reads);
    EXPECT_EQ(stats["page_writes"], writes);
    EXPECT_EQ(stats["timeouts"], 1);
    EXPECT_EQ(stats["retries"], 1) << "the unanswered READ was tried again";
    EXPECT_EQ(stats["failed_transfers"], 1);
    // 700 bytes in 258-byte pieces, each page written once.
    EXPECT_EQ(stats["bytes_written"], writes * 264);
    bool sawRead = false;
    for (const auto &op : stats["operations"]) {
        if (op["operation"] == "READ") {
            sawRead = true;
            EXPECT_EQ(op["count"], reads);
            // The unanswered READ waited out its 200 ms of silence.
            EXPECT_GE(op["max_ms"].get<double>(), 200.0);
        }
    }
    EXPECT_TRUE(sawRead);

    run = Run({"trace", scratch.File("no-such.trace")});
    EXPECT_EQ(run.status, 1);
}

// The trace the library writes in a host program of its own (under Wine:
// Kelvara.dll's own writer): the frames the reader heard, in order, and one
// hidden data phase for each page the reader received.
class LibraryTraceE2e : public E2eTest {};

TEST_F(LibraryTraceE2e, AHostProgramsTraceHoldsEveryFrameTheReaderHeard)
{
    const std::string trace = scratch.File("host.trace");
    SetHostEnvironment("KELVARA_TRACE", wqn::host::runner::HostPath(trace));
    SerialSim sim(SimArgs({"--pace", "--speed", "115200"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        ASSERT_EQ(TS_CheckKelvara(), 0);
        unsigned char page[264];
        for (int i = 0; i < 264; ++i)
            page[i] = static_cast<unsigned char>(i * 7);
        EXPECT_EQ(TS_WriteBlock(9, 0, 264, page, 0), 0);
        unsigned char back[264] = {};
        EXPECT_EQ(TS_ReadBlock(9, 0, 264, back, 0), 0);
        EXPECT_EQ(std::memcmp(page, back, sizeof page), 0);
        TS_ReleaseKelvara();
    });

    const std::vector<TraceEntry> entries = TraceEntries(trace);
    std::vector<std::string> sentFrames;
    int dataPhases = 0, writes = 0, reads = 0;
    for (const TraceEntry &e : entries) {
        EXPECT_EQ(e.backend, "serial");
        if (e.direction == ">" && StartsWith(e.summary, "data")) {
            ++dataPhases;
            EXPECT_EQ(e.hex, "<264 hidden>");
        } else if (e.direction == ">") {
            sentFrames.push_back(e.hex);
        }
        writes += e.direction == ">" && e.summary == "WRTE page=9 offset=0 length=264" ? 1 : 0;
        reads += e.direction == ">" && e.summary == "READ page=9 offset=0 length=264" ? 1 : 0;
    }
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(reads, 1);
    ExpectHeardFramesTracedInOrder(ReceivedFrames(log), sentFrames);
    EXPECT_EQ(dataPhases, static_cast<int>(LogLines(log, "RXDATA").size()));
    EXPECT_EQ(dataPhases, 1);
}

} // namespace
} // namespace kelvara::e2e
