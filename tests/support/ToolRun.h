// Runs a command-line tool as a user does: a separate process with stdin from
// a file (/dev/null unless told) and its output captured, for the exit code
// and what it printed.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace kelvara::testing {

struct ToolRun {
    int status = -1; // the exit code, -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// `program` with `args`, in the current directory and environment with
// `environment` in front (its names win over the same names of this
// process), reading `input` (a file); its output goes through files in
// `scratchDirectory`.
inline ToolRun RunProgram(const std::string &program, std::vector<std::string> args,
                          const std::filesystem::path &scratchDirectory,
                          const std::map<std::string, std::string> &environment = {},
                          const std::string &input = "/dev/null")
{
    const std::string outPath = (scratchDirectory / "tool.out").string();
    const std::string errPath = (scratchDirectory / "tool.err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The first of two equal names counts.
    std::vector<std::string> env;
    for (const auto &[name, value] : environment)
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
    const auto slurp = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
}

} // namespace kelvara::testing
