// The sampora command-line tool against the simulator: output format and
// exit codes.
#include "SimProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/ToolRun.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
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
    // The messages checked here are the English ones.
    ScopedEnv language_{"LC_ALL", "C"};
};

TEST_F(SamporaTool, ChainedCommandsShareOneSessionAndPrintHex)
{
    const Run run = Tool({"open-card", "--", "write-block", "1", "5", "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff",
                          "--", "read-block", "1", "5"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "78563412\n00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\n");
}

// The exit codes are the kelvara tool's (0 done, 1 failed, 2 usage), and
// every failure says in words what went wrong.
TEST_F(SamporaTool, ExitCodesAndMessagesTellFailuresApart)
{
    struct Case {
        std::vector<std::string> args;
        const char *simCommand; // sent to the simulator first, when set
        const char *device; // WQN_COM1 for the run, when set
        int exitCode;
        std::string message;
    };
    const std::string noDevice = scratch_.path().string() + "/no-such-tty";
    const std::vector<Case> cases = {
        {{}, nullptr, nullptr, 2, "sampora:"},
        {{"no-such-command"}, nullptr, nullptr, 2, "A subcommand is required"},
        {{"read-block", "0"}, nullptr, nullptr, 2, "BLOCK"},
        {{"write-block", "0", "4", "0011"}, nullptr, nullptr, 2, "the data must be 16 bytes (got 2)"},
        {{"--config", noDevice, "open-card"}, nullptr, nullptr, 2, noDevice},
        {{"read-block", "2", "0"}, nullptr, nullptr, 2, "read-block: an argument is out of range (error -2)"},
        {{"read-block", "0", "4"},
         nullptr,
         nullptr,
         1,
         "read-block: card not selected: open the card first (closing it deselects) (reader status 3)"},
        {{"open-card"},
         "reply 0B",
         nullptr,
         1,
         "open-card: a status the reader is not known to send (reader status 11)"},
        {{"close-card"}, "silent", nullptr, 1, "close-card: no reply from the reader in time"},
        {{"close-card"},
         nullptr,
         noDevice.c_str(),
         1,
         "sampora: cannot open " + noDevice + " (COM1, settings from the defaults): No such file or directory"},
        // A usage error anywhere in the chain wins over a port that cannot be opened.
        {{"open-card", "--", "read-block", "0", "x"}, nullptr, noDevice.c_str(), 2, "'x' is not a 16-bit number"},
    };
    for (const Case &c : cases) {
        if (c.simCommand != nullptr) {
            ASSERT_EQ(sim_.Command(c.simCommand), "ok") << c.simCommand;
        }
        com1_->Set(c.device != nullptr ? std::string(c.device) : sim_.SlavePath());
        const ToolRun run = RunProgram(SAMPORA_TOOL_PATH, c.args, scratch_.path());
        const std::string what = c.args.empty() ? "(no command)" : c.args.front();
        EXPECT_EQ(run.status, c.exitCode) << what << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << what << ": " << run.err;
    }
    EXPECT_EQ(Tool({"--help"}).exitCode, 0);
}

// The settings file: --config, else sampora.ini here, else the XDG config
// directory, else ~/.config. Only the port the right file names leads to the
// simulator.
TEST_F(SamporaTool, SettingsComeFromTheFirstPlaceThatHasThem)
{
    namespace fs = std::filesystem;
    const fs::path root = scratch_.path();
    const auto write = [](const fs::path &file, int port) {
        fs::create_directories(file.parent_path());
        std::FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr) << file;
        std::fprintf(f, "[reader]\nport=%d\n", port);
        std::fclose(f);
    };
    const fs::path flagFile = root / "flag.ini";
    const fs::path here = root / "here";
    const fs::path xdg = root / "xdg";
    const fs::path home = root / "home";
    struct Case {
        const char *place;
        bool flag, cwd, xdg, home;
        int port;
        fs::path file;
    };
    const Case cases[] = {
        {"--config", true, true, true, true, 2, flagFile},
        {"current directory", false, true, true, true, 3, here / "sampora.ini"},
        {"XDG_CONFIG_HOME", false, false, true, true, 4, xdg / "sampora" / "sampora.ini"},
        {"HOME", false, false, false, true, 5, home / ".config" / "sampora" / "sampora.ini"},
    };
    fs::create_directories(here);
    ASSERT_EQ(::chdir(here.c_str()), 0);
    for (const Case &c : cases) {
        fs::remove_all(flagFile);
        fs::remove_all(here / "sampora.ini");
        fs::remove_all(xdg);
        fs::remove_all(home);
        if (c.flag)
            write(flagFile, 2);
        if (c.cwd)
            write(here / "sampora.ini", 3);
        if (c.xdg)
            write(xdg / "sampora" / "sampora.ini", 4);
        if (c.home)
            write(home / ".config" / "sampora" / "sampora.ini", 5);
        std::map<std::string, std::string> environment = {{"HOME", home.string()},
                                                          {"XDG_CONFIG_HOME", c.xdg ? xdg.string() : ""}};
        for (int port = 2; port <= 5; ++port)
            environment["WQN_COM" + std::to_string(port)] =
                port == c.port ? sim_.SlavePath() : (root / "no-tty").string();
        std::vector<std::string> args = {"-v", "open-reader"};
        if (c.flag)
            args.insert(args.begin(), {"--config", "../flag.ini"});
        const ToolRun run = RunProgram(SAMPORA_TOOL_PATH, args, root, environment);
        EXPECT_EQ(run.status, 0) << c.place << "\n" << run.err;
        EXPECT_NE(run.err.find("settings from " + c.file.string() + "\n"), std::string::npos) << c.place << run.err;
    }
    ASSERT_EQ(::chdir("/"), 0);
}

// --json: one document a line for every command that ran, the failed one too.
TEST_F(SamporaTool, JsonPrintsOneDocumentPerCommand)
{
    const std::string data = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
    const Run run = Tool({"--json", "open-card", "--", "write-block", "1", "5", data, "--", "read-block", "1", "5",
                          "--", "close-card", "--", "read-block", "1", "5"});
    EXPECT_EQ(run.exitCode, 1);
    std::vector<nlohmann::json> documents;
    std::size_t at = 0;
    for (std::size_t end; (end = run.output.find('\n', at)) != std::string::npos; at = end + 1)
        documents.push_back(nlohmann::json::parse(run.output.substr(at, end - at)));
    EXPECT_EQ(at, run.output.size()) << "every document ends its line";
    ASSERT_EQ(documents.size(), 5u) << run.output;
    using J = nlohmann::json;
    EXPECT_EQ(documents[0],
              (J{{"command", "open-card"}, {"ok", true}, {"result", 1}, {"status", "success"}, {"card", "78563412"}}));
    EXPECT_EQ(documents[1], (J{{"command", "write-block"}, {"ok", true}, {"result", 1}, {"status", "success"}}));
    EXPECT_EQ(documents[2]["data"], data);
    EXPECT_EQ(documents[4],
              (J{{"command", "read-block"},
                 {"ok", false},
                 {"result", 3},
                 {"status", "card not selected: open the card first (closing it deselects)"}}))
        << "a failed command reports no data";
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
    EXPECT_NE(help.output.find("2  usage"), std::string::npos) << help.output;
    EXPECT_EQ(Tool({"--version"}).output, std::string("sampora ") + SAMPORA_TOOL_VERSION + "\n");

    // -v reports each call's result, -vv its arguments as well.
    Run run = Tool({"-v", "open-card"}, true);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("sampora: open-card -> 1\n"), std::string::npos) << run.output;
    run = Tool({"read-block", "1", "5", "-vv"}, true);
    EXPECT_NE(run.output.find("sampora: read-block 1 5\n"), std::string::npos) << run.output;
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
