// The command lines of the tools: commands chained with a lone "--", each
// parsed by CLI11 on its own, so every command of a chain can be checked
// before the first one runs.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace wqn::tools {

// The words of each command, split at every lone "--" (program name left out).
inline std::vector<std::vector<std::string>> SplitChain(int argc, char **argv)
{
    std::vector<std::vector<std::string>> chain(1);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--")
            chain.emplace_back();
        else
            chain.back().emplace_back(argv[i]);
    }
    return chain;
}

// Parses one command of a chain with `app`. Nothing when the words name a
// command; otherwise the tool's exit code: 0 when help or the version was
// asked for (and printed), `usageExit` after a usage error (explained on
// stderr).
inline std::optional<int> ParseCommand(CLI::App &app, const std::vector<std::string> &words, int usageExit)
{
    const std::string program = app.get_name();
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
        return std::nullopt;
    } catch (const CLI::CallForHelp &e) {
        app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        if (words.empty())
            std::fprintf(stderr, "%s", app.help().c_str());
        else
            std::fprintf(stderr, "(%s --help, or %s COMMAND --help)\n", program.c_str(), program.c_str());
        return usageExit;
    }
    return 0;
}

} // namespace wqn::tools
