// The sampora command-line tool against the simulator: output format and
// exit codes.
#include "SimProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/ToolRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kelvara::testing::RunProgram;
using kelvara::testing::ScopedEnv;
using kelvara::testing::ScratchDirectory;
using kelvara::testing::ToolRun;

std::string ReadText(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

class SamporaTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_.Started());
        ASSERT_FALSE(scratch_.path().empty());
        com1_.emplace("WQN_COM1", sim_.SlavePath());
        // The tool reads sampora.ini from its current directory; run it where
        // there is none.
        ASSERT_EQ(::chdir("/"), 0);
    }

    struct Run {
        int exitCode;
        std::string output;
    };

    // Runs the tool; its stderr is dropped unless `withErrors` adds it to the
    // output.
    Run Tool(std::vector<std::string> args, bool withErrors = false) const
    {
        const ToolRun run = RunProgram(SAMPORA_TOOL_PATH, std::move(args), scratch_.path());
        return {run.status, withErrors ? run.out + run.err : run.out};
    }

    sampora_test::SimProcess sim_;
    ScratchDirectory scratch_{"sampora-tool"};
    std::optional<ScopedEnv> com1_;
};

TEST_F(SamporaTool, ChainedCommandsShareOneSessionAndPrintHex)
{
    const Run run = Tool({"open-card", "--", "write-block", "1", "5", "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff",
                          "--", "read-block", "1", "5"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "78563412\n00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\n");
}

TEST_F(SamporaTool, ExitCodesTellFailuresApart)
{
    EXPECT_EQ(Tool({}).exitCode, 1) << "no command";
    EXPECT_EQ(Tool({"no-such-command"}).exitCode, 1);
    EXPECT_EQ(Tool({"read-block", "0"}).exitCode, 1) << "missing argument";
    EXPECT_EQ(Tool({"write-block", "0", "4", "0011"}).exitCode, 1) << "short data";
    EXPECT_EQ(Tool({"read-block", "2", "0"}).exitCode, 4) << "selector out of range";
    EXPECT_EQ(Tool({"read-block", "0", "4"}).exitCode, 5) << "card not selected";
    ASSERT_EQ(sim_.Command("silent"), "ok");
    EXPECT_EQ(Tool({"close-card"}).exitCode, 3) << "no reply";
    EXPECT_EQ(Tool({"--help"}).exitCode, 0);
    com1_->Set("/nonexistent/tty");
    EXPECT_EQ(Tool({"close-card"}).exitCode, 2) << "no port";
}

TEST_F(SamporaTool, EveryCommandHasHelpAndTheChainIsCheckedBeforeThePortOpens)
{
    for (const char *command :
         {"open-reader", "close-reader", "open-card", "close-card", "read-block", "write-block", "read-file",
          "write-file", "down-secret", "write-secret", "write-mac", "set-mad", "restore-card", "select-sam",
          "allow-deep", "disallow-deep", "op-correct-deep", "op-incorrect-deep", "resend"}) {
        const Run run = Tool({command, "--help"});
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_NE(run.output.find(std::string("Usage: sampora ") + command), std::string::npos) << run.output;
    }
    const Run help = Tool({"--help"});
    EXPECT_NE(help.output.find("5  the reader answered another status"), std::string::npos) << help.output;
    EXPECT_EQ(Tool({"--version"}).output, std::string("sampora ") + SAMPORA_TOOL_VERSION + "\n");

    // -v reports each call's result, -vv its arguments as well.
    Run run = Tool({"-v", "open-card"}, true);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("sampora: open-card -> 1\n"), std::string::npos) << run.output;
    run = Tool({"read-block", "1", "5", "-vv"}, true);
    EXPECT_NE(run.output.find("sampora: read-block 1 5\n"), std::string::npos) << run.output;

    // A usage error anywhere in the chain wins over a port that cannot be opened.
    com1_->Set("/nonexistent/tty");
    EXPECT_EQ(Tool({"open-card", "--", "read-block", "0", "x"}).exitCode, 1);
    EXPECT_EQ(Tool({"open-card", "--", "read-block", "0", "1"}).exitCode, 2);
}

// The trace of a real run: what the reader received is what the trace shows
// as sent, and the key and MAC inputs stay out unless asked for.
TEST_F(SamporaTool, TheTraceShowsEveryFrameAndHidesKeysUnlessAsked)
{
    const std::string trace = "/tmp/sampora-tool-trace-" + std::to_string(::getpid());
    const std::vector<std::string> commands = {
        "open-card", "--",    "down-secret", "0",     "3",  "A1 B2 C3 D4 E5 F6", "--", "select-sam", "--",
        "write-mac", "11839", "19804",       "0A 0B", "--", "read-block",        "1",  "5"};
    std::remove(trace.c_str());
    {
        const ScopedEnv traceFile("SAMPORA_TRACE", trace);
        EXPECT_EQ(Tool(commands).exitCode, 0);
    }
    std::string hidden = ReadText(trace);
    std::remove(trace.c_str());
    const std::string received = sim_.Received();

    EXPECT_NE(hidden.find("sampora > DownSecret selector=0 sector=3 key=<6 hidden>"), std::string::npos) << hidden;
    EXPECT_NE(hidden.find("sampora > WriteMAC length=2 mac_input=<6 hidden>"), std::string::npos) << hidden;
    EXPECT_NE(hidden.find("sampora < ReadBlock status=1 data=16"), std::string::npos) << hidden;
    for (const char *secret : {"A1 B2", "D4 E5", "2E 3F", "4D 5C", "0A 0B"})
        EXPECT_EQ(hidden.find(secret), std::string::npos) << secret << " in\n" << hidden;
    EXPECT_NE(received.find("A1 B2 C3 D4 E5 F6"), std::string::npos) << "the key did reach the reader";

    {
        const ScopedEnv traceFile("SAMPORA_TRACE", trace);
        const ScopedEnv showSecrets("SAMPORA_TRACE_SECRETS", "1");
        EXPECT_EQ(Tool(commands).exitCode, 0);
    }
    const std::string shown = ReadText(trace);
    std::remove(trace.c_str());
    // The frames sent, joined, are the bytes the reader received.
    std::string sent;
    std::size_t commandsTraced = 0;
    std::size_t repliesTraced = 0;
    for (std::size_t at = 0; (at = shown.find("sampora ", at)) != std::string::npos; ++at) {
        const std::size_t end = shown.find('\n', at);
        const std::string line = shown.substr(at, end - at);
        if (line.rfind("sampora > ", 0) == 0) {
            ++commandsTraced;
            sent += (sent.empty() ? "" : " ") + line.substr(line.find(" | ") + 3);
        } else if (line.rfind("sampora < ", 0) == 0) {
            ++repliesTraced;
        }
    }
    EXPECT_EQ(commandsTraced, 5u);
    EXPECT_EQ(repliesTraced, 5u);
    EXPECT_EQ(sent, sim_.Received());
}

} // namespace
