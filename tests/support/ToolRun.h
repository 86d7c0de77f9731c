// Runs a command-line tool as a user does: a separate process with stdin from
// a file (/dev/null unless told) and its output captured, for the exit code
// and what it printed.
#pragma once

#include "tests/support/ChildProgram.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace kelvara::testing {

struct ToolRun {
    int status = -1; // the exit code, -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// How long one run of a tool may take before it is killed.
inline constexpr int kToolRunTimeoutMs = 120000;

// `program` with `args`, in the current directory and environment with
// `environment` in front (its names win over the same names of this
// process), reading `input` (a file); its stderr goes through a file in
// `scratchDirectory`.
inline ToolRun RunProgram(const std::string &program, std::vector<std::string> args,
                          const std::filesystem::path &scratchDirectory,
                          const std::map<std::string, std::string> &environment = {},
                          const std::string &input = "/dev/null")
{
    const std::string errPath = (scratchDirectory / "tool.err").string();
    args.insert(args.begin(), program);
    ToolRun run;
    ChildOptions options;
    options.environment = environment;
    options.input = input;
    options.errors = errPath;
    ChildProgram child;
    if (!child.Start(args, options))
        return run;
    if (child.ReadToEnd(&run.out, kToolRunTimeoutMs))
        run.status = child.Wait(kToolRunTimeoutMs);
    else
        child.Kill(); // hung: no exit code
    std::ifstream err(errPath, std::ios::binary);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return run;
}

} // namespace kelvara::testing
