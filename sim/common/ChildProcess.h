// A child program with a pipe on its stdout, read line by line with a bound on
// every wait, and never left behind: how tests, benchmarks and scripts start
// the simulators (each prints its port or socket on its first line).
#pragma once

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace wqn::sim {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The environment of this process, for starting a child with it.
    static std::vector<std::string> CurrentEnvironment()
    {
        std::vector<std::string> env;
        for (char **e = environ; e != nullptr && *e != nullptr; ++e)
            env.emplace_back(*e);
        return env;
    }

    // Sends `signal` to the child while it runs.
    void Signal(int signal) const
    {
        if (pid_ > 0)
            ::kill(pid_, signal);
    }

    // Starts `argv` with exactly `env`; false when it cannot be started.
    // With `withInput` its stdin is a pipe that WriteLine feeds.
    bool Start(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool withInput = false)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        int input[2] = {-1, -1};
        if (withInput && ::pipe2(input, O_CLOEXEC) != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (withInput)
            posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        std::vector<char *> args, envp;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (const auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        const int r = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (withInput)
            ::close(input[0]);
        if (r != 0) {
            ::close(fds[0]);
            if (withInput)
                ::close(input[1]);
            pid_ = -1;
            return false;
        }
        out_ = fds[0];
        in_ = withInput ? input[1] : -1;
        return true;
    }

    // Writes `line` and a newline to the child's stdin; false when it has
    // none or the write failed.
    bool WriteLine(const std::string &line)
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

    // The next line of stdout within `timeoutMs`; false on time-out or end.
    bool ReadLine(std::string *line, int timeoutMs)
    {
        const std::int64_t deadline = NowMs() + timeoutMs;
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

    // Everything up to the end of stdout, within `timeoutMs`; then waits for
    // the exit. False (and the child killed) on time-out.
    bool Finish(std::string *all, int timeoutMs)
    {
        const std::int64_t deadline = NowMs() + timeoutMs;
        while (Fill(deadline)) {
        }
        *all = buffer_;
        buffer_.clear();
        if (NowMs() >= deadline) {
            Kill();
            return false;
        }
        Reap();
        return true;
    }

    void Terminate()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
        Reap();
    }

    void Kill()
    {
        if (pid_ > 0)
            ::kill(pid_, SIGKILL);
        Reap();
    }

private:
    static std::int64_t NowMs()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }

    bool Fill(std::int64_t deadline)
    {
        if (out_ < 0)
            return false;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return false;
        pollfd p{out_, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            return true;
        if (ready <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            return true;
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        buffer_.append(chunk, std::size_t(n));
        return true;
    }

    void Reap()
    {
        if (pid_ > 0) {
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
        if (in_ >= 0) {
            ::close(in_);
            in_ = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buffer_;
};

// A simulator started as its user would: it prints where it listens (a pty
// path or a socket) on its first line, and stops with this object.
class SimulatorProgram {
public:
    SimulatorProgram(const std::string &program, std::vector<std::string> args)
    {
        args.insert(args.begin(), program);
        if (!process_.Start(args, ChildProcess::CurrentEnvironment()) || !process_.ReadLine(&port_, 10000))
            port_.clear();
    }
    const std::string &Port() const { return port_; }
    void Signal(int signal) const { process_.Signal(signal); }
    void Stop() { process_.Terminate(); }

private:
    ChildProcess process_;
    std::string port_;
};

} // namespace wqn::sim
