// Starting and talking to a library host program.
#include "tests/remote/HostProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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

HostProcess::~HostProcess() { Kill(); }

bool HostProcess::Start(const std::string &program, bool windows, const std::map<std::string, std::string> &environment,
                        const std::string &directory)
{
    Kill();
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    std::vector<std::string> argv;
    if (windows)
        argv.push_back(runner::WineProgram());
    argv.push_back(program);

    std::map<std::string, std::string> merged;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto equals = entry.find('=');
        if (equals != std::string::npos)
            merged[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    for (const auto &[name, value] : environment)
        merged[name] = value;
    std::vector<std::string> env;
    for (const auto &[name, value] : merged)
        env.push_back(name + "=" + value);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<char *> args, envp;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int r = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (r != 0) {
        ::close(in[1]);
        ::close(out[0]);
        pid_ = -1;
        return false;
    }
    toHost_ = in[1];
    fromHost_ = out[0];
    buffer_.clear();
    events_.clear();
    return true;
}

bool HostProcess::ReadLine(std::string *line, long long deadline)
{
    for (;;) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        const long long left = deadline - NowMs();
        if (fromHost_ < 0 || left <= 0)
            return false;
        pollfd p{fromHost_, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = ::read(fromHost_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer_.append(chunk, std::size_t(n));
    }
}

void HostProcess::Send(const Tokens &tokens)
{
    const std::string line = JoinLine(tokens) + "\n";
    std::size_t done = 0;
    while (toHost_ >= 0 && done < line.size()) {
        const ssize_t n = ::write(toHost_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

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
    ADD_FAILURE() << "the library host " << (fromHost_ < 0 || NowMs() < deadline ? "ended" : "timed out") << " during "
                  << JoinLine(command);
    Kill();
    return {};
}

int HostProcess::Reap(int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        if (NowMs() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status = -1;
            break;
        }
        ::usleep(5000);
    }
    pid_ = -1;
    if (toHost_ >= 0)
        ::close(toHost_);
    if (fromHost_ >= 0)
        ::close(fromHost_);
    toHost_ = fromHost_ = -1;
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    return Reap(int(std::max<long long>(deadline - NowMs(), 1)));
}

void HostProcess::Kill()
{
    if (!Running())
        return;
    ::kill(pid_, SIGKILL);
    Reap(10000);
}

} // namespace wqn::host
