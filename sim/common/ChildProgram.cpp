// Child programs on Linux: posix_spawn with pipes.
#include "sim/common/ChildProgram.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace wqn::sim {
namespace {

long long NowMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// `extra`, over this process's environment when `inherit` is set, as
// "NAME=value" entries.
std::vector<std::string> Environment(const std::map<std::string, std::string> &extra, bool inherit)
{
    std::vector<std::string> env;
    for (const auto &[name, value] : extra)
        env.push_back(name + "=" + value);
    for (char **e = inherit ? environ : nullptr; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        if (extra.count(entry.substr(0, entry.find('='))) == 0)
            env.push_back(entry);
    }
    return env;
}

std::vector<char *> Pointers(std::vector<std::string> &words)
{
    std::vector<char *> pointers;
    for (std::string &word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

bool ChildProgram::Start(const std::vector<std::string> &argv, const ChildOptions &options)
{
    Kill();
    if (argv.empty())
        return false;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    int in[2] = {-1, -1};
    if (options.input.empty() && ::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.input.empty())
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!options.errors.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    if (!options.directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
    std::vector<std::string> args = argv;
    std::vector<std::string> env = Environment(options.environment, options.inheritEnvironment);
    std::vector<char *> argp = Pointers(args);
    std::vector<char *> envp = Pointers(env);
    const int r = ::posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (in[0] >= 0)
        ::close(in[0]);
    out_ = out[0];
    in_ = in[1];
    buffer_.clear();
    if (r != 0) {
        pid_ = -1;
        Close();
        return false;
    }
    return true;
}

bool ChildProgram::WriteLine(const std::string &line)
{
    if (in_ < 0)
        return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

void ChildProgram::CloseInput()
{
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

bool ChildProgram::Fill(long long deadline)
{
    for (;;) {
        const long long left = deadline - NowMs();
        if (out_ < 0 || left <= 0)
            return false;
        pollfd p{out_, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        buffer_.append(chunk, std::size_t(n));
        return true;
    }
}

bool ChildProgram::ReadLine(std::string *line, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            *line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (!Fill(deadline))
            return false;
    }
}

bool ChildProgram::ReadToEnd(std::string *text, int timeoutMs)
{
    const long long deadline = NowMs() + timeoutMs;
    while (Fill(deadline)) {
    }
    *text = buffer_;
    buffer_.clear();
    return OutputEnded();
}

void ChildProgram::Signal(int signal) const
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int ChildProgram::Wait(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    const long long deadline = NowMs() + timeoutMs;
    int status = 0;
    bool killed = false;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno != EINTR) {
            killed = true; // not ours to wait for any more
            break;
        }
        if (NowMs() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            killed = true;
            break;
        }
        ::usleep(5000);
    }
    pid_ = -1;
    Close();
    return !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProgram::Terminate()
{
    Signal(SIGTERM);
    Wait(10000);
}

void ChildProgram::Kill()
{
    Signal(SIGKILL);
    Wait(10000);
    Close();
}

void ChildProgram::Close()
{
    CloseInput();
    if (out_ >= 0)
        ::close(out_);
    out_ = -1;
}

} // namespace wqn::sim
