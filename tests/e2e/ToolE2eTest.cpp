// The kelvara tool as a user runs it: chained commands against the simulator,
// its output and its exit codes.
#include "tests/e2e/E2eSupport.h"

#include <fcntl.h>

namespace kelvara::e2e {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

// Runs the tool with `args`, stdin from /dev/null, stdout captured.
ToolRun RunTool(const Scratch &scratch, std::vector<std::string> args)
{
    const std::string outPath = scratch.File("tool.out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), KELVARA_TOOL_PATH);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The tool finds the settings and ports where the library hosts do (the
    // first of two equal names counts).
    std::vector<std::string> env;
    for (const auto &[name, value] : HostEnvironment())
        env.push_back(name + "=" + value);
    for (char **e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    ToolRun run;
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = ReadFile(outPath);
    return run;
}

class ToolE2e : public E2eTest {};

TEST_F(ToolE2e, CopiesFilesOntoTheCardAndBack)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    std::filesystem::create_directories(scratch.path() / "in");
    WriteFile(scratch.path() / "in" / "Return.xml", "<return/>");
    const std::string in = (scratch.path() / "in" / "*.xml").string();

    ToolRun run = RunTool(scratch, {"check", "--", "format", "--", "put", "\\tax", in, "--", "ls"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\\tax\\return.xml"), std::string::npos) << run.out;

    run = RunTool(scratch, {"get", scratch.path().string(), "\\tax\\*.*"});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "return.xml\n");
    EXPECT_EQ(ReadFile(scratch.path() / "return.xml"), "<return/>");

    run = RunTool(scratch, {"bitmap"});
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("pages free: 2030 of 2048"), std::string::npos) << run.out;

    run = RunTool(scratch, {"settings"});
    EXPECT_NE(run.out.find("PortMode=1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ComPortName=com1\n"), std::string::npos) << run.out;
}

TEST_F(ToolE2e, ExitCodesTellWhatWentWrong)
{
    EXPECT_EQ(RunTool(scratch, {}).status, 2);
    EXPECT_EQ(RunTool(scratch, {"put", "only-one-argument"}).status, 2);
    EXPECT_EQ(RunTool(scratch, {"settings", "set", "NoSuchValue", "1"}).status, 2);
    ASSERT_EQ(RunTool(scratch, {"settings", "set", "BaudRateMax", "4"}).status, 0);
    EXPECT_EQ(Setting("BaudRateMax"), "4");
    // No reader anywhere: the prompt is cancelled without a terminal.
    EXPECT_EQ(RunTool(scratch, {"check"}).status, 1);

    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    EXPECT_EQ(RunTool(scratch, {"put", "", scratch.File("missing.txt")}).status, 1);
    EXPECT_EQ(RunTool(scratch, {"ls", scratch.File("no/such/dir.txt")}).status, 3);
    const ToolRun page = RunTool(scratch, {"read-page", "2047", "0", "16"});
    EXPECT_EQ(page.status, 0);
    EXPECT_EQ(page.out.rfind("000: ", 0), 0u) << page.out;
}

} // namespace
} // namespace kelvara::e2e
