// Starting and talking to a library host program.
#include "tests/remote/HostProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iconv.h>

namespace wqn::host {
namespace {

long long NowMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Convert(const std::string &text, const char *to, const char *from)
{
    iconv_t cd = ::iconv_open(to, from);
    if (cd == iconv_t(-1))
        return text;
    std::string out(text.size() * 4 + 16, '\0');
    char *in = const_cast<char *>(text.data());
    std::size_t inLeft = text.size();
    char *outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t r = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    ::iconv_close(cd);
    if (r == std::size_t(-1))
        return text;
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace

namespace runner {

bool UnderWine() { return !Env("WQN_WINE_BUILD").empty(); }

std::string WineProgram()
{
    const std::string wine = Env("WQN_WINE");
    return wine.empty() ? "wine64" : wine;
}

std::string WineBuildFile(const std::string &relative) { return Env("WQN_WINE_BUILD") + "/" + relative; }

std::string HostPath(const std::string &path)
{
    if (!UnderWine() || path.empty() || path[0] != '/')
        return path;
    std::string windows = "Z:" + path;
    for (char &c : windows) {
        if (c == '/')
            c = '\\';
    }
    return windows;
}

std::string SystemText(const std::string &utf8) { return UnderWine() ? Convert(utf8, "GBK", "UTF-8") : utf8; }
std::string Utf8Text(const std::string &system) { return UnderWine() ? Convert(system, "UTF-8", "GBK") : system; }

} // namespace runner

bool HostProcess::Start(const std::string &program, bool windows, const std::map<std::string, std::string> &environment,
                        const std::string &directory)
{
    std::vector<std::string> argv;
    if (windows)
        argv.push_back(runner::WineProgram());
    argv.push_back(program);
    kelvara::testing::ChildOptions options;
    options.environment = environment;
    options.directory = directory;
    events_.clear();
    return child_.Start(argv, options);
}

bool HostProcess::ReadLine(std::string *line, long long deadline)
{
    if (!child_.ReadLine(line, int(std::max<long long>(deadline - NowMs(), 0))))
        return false;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

void HostProcess::Send(const Tokens &tokens) { child_.WriteLine(JoinLine(tokens)); }

Tokens HostProcess::Call(const Tokens &command, int timeoutMs)
{
    if (!Running()) {
        ADD_FAILURE() << "no library host runs for " << JoinLine(command);
        return {};
    }
    Send(command);
    const long long deadline = NowMs() + timeoutMs;
    std::string line;
    while (ReadLine(&line, deadline)) {
        Tokens tokens;
        if (!SplitLine(line, &tokens) || tokens.empty()) {
            ADD_FAILURE() << "malformed line from the library host: " << line;
            continue;
        }
        if (tokens[0] == "ok")
            return Tokens(tokens.begin() + 1, tokens.end());
        if (tokens[0] == "error") {
            ADD_FAILURE() << "the library host refused " << JoinLine(command) << ": "
                          << (tokens.size() > 1 ? tokens[1] : "");
            return {};
        }
        if (tokens[0] == "event") {
            events_.emplace_back(tokens.begin() + 1, tokens.end());
            continue;
        }
        // An event waiting for its answer; the handler may run commands.
        const int answer = onEvent_ ? onEvent_(tokens) : 0;
        Send({"answer", std::to_string(answer)});
    }
    ADD_FAILURE() << "the library host " << (child_.OutputEnded() || NowMs() < deadline ? "ended" : "timed out")
                  << " during " << JoinLine(command);
    Kill();
    return {};
}

int HostProcess::Quit(int timeoutMs)
{
    if (!Running())
        return -1;
    Send({"quit"});
    std::string line;
    const long long deadline = NowMs() + timeoutMs;
    while (ReadLine(&line, deadline)) {
        if (line == "ok")
            break;
    }
    return child_.Wait(int(std::max<long long>(deadline - NowMs(), 1)));
}

void HostProcess::Kill() { child_.Kill(); }

} // namespace wqn::host
