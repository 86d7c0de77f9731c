// A child program: its stdout on a pipe read line by line, its stdin a pipe
// or a file, every wait bounded so a child that hangs fails its caller
// instead of stopping it, and never left behind. How the tests, benchmarks
// and scripts start the simulators and the programs under test. Linux only:
// the Windows test programs start no children.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wqn::sim {

// How a child program starts.
struct ChildOptions {
    // Added to this process's environment; these names win.
    std::map<std::string, std::string> environment;
    // False: the child gets `environment` alone.
    bool inheritEnvironment = true;
    // The working directory; empty: this process's.
    std::string directory;
    // stdin from this file; empty: a pipe that WriteLine feeds.
    std::string input;
    // stderr into this file (created or emptied); empty: this process's.
    std::string errors;
};

class ChildProgram {
public:
    ChildProgram() = default;
    ~ChildProgram() { Kill(); }
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    // Starts `argv` (its first word found on PATH when it has no slash);
    // false when it cannot be started. A child still running is killed first.
    bool Start(const std::vector<std::string> &argv, const ChildOptions &options = {});
    bool Running() const { return pid_ > 0; }

    // Writes `line` and a newline to the child's stdin; false when it has no
    // pipe there or the write failed.
    bool WriteLine(const std::string &line);
    // Ends the child's stdin.
    void CloseInput();

    // The next line of stdout (without its newline) within `timeoutMs`;
    // false on time-out or at the end of the output.
    bool ReadLine(std::string *line, int timeoutMs);
    // The rest of stdout up to its end, within `timeoutMs`; false on time-out.
    bool ReadToEnd(std::string *text, int timeoutMs);
    // Whether stdout has ended (the child closed it or exited).
    bool OutputEnded() const { return out_ < 0; }

    void Signal(int signal) const;
    // Waits up to `timeoutMs` for the exit, then kills the child. The exit
    // code, or -1 when it had to be killed or did not exit normally.
    int Wait(int timeoutMs);
    // Asks the child to end (SIGTERM) and waits for it.
    void Terminate();
    void Kill();

private:
    bool Fill(long long deadline);
    void Close();

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// A simulator started as its user would: it prints where it listens (a pty
// path or a socket) on its first line, and stops with this object.
class SimulatorProgram {
public:
    SimulatorProgram(const std::string &program, std::vector<std::string> args)
    {
        args.insert(args.begin(), program);
        if (!process_.Start(args) || !process_.ReadLine(&port_, 10000))
            port_.clear();
    }
    const std::string &Port() const { return port_; }
    void Signal(int signal) const { process_.Signal(signal); }
    void Stop() { process_.Terminate(); }

private:
    ChildProgram process_;
    std::string port_;
};

} // namespace wqn::sim
