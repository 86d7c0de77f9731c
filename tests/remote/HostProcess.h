// The test's side of a library host program (Protocol.h): starts it, natively
// or as a Windows program under Wine, sends commands, answers the events the
// library raises while they run, and ends it. Every wait is bounded, so a
// host that hangs fails the test instead of stopping it.
//
// Under Wine (the environment variable WQN_WINE_BUILD names the mingw-x86_64
// build tree; scripts/wine-tests.sh sets it and the others below) the same
// tests drive the Windows programs: COM ports are symlinks in the directory
// WQN_WINE_PORTS that the Wine prefix maps COM1..COM6 to, local paths are
// given as Z:\..., 8-bit texts are in code page 936, and settings live in the
// registry.
#pragma once

#include "tests/remote/Protocol.h"
#include "tests/support/ChildProgram.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace wqn::host {

// How the host programs run in this test run.
namespace runner {
bool UnderWine();
// The wine program (WQN_WINE, else wine64).
std::string WineProgram();
// A Windows program of the mingw-x86_64 build, by its path in that tree.
std::string WineBuildFile(const std::string &relative);
// A local path as the host program names it (Z:\... under Wine).
std::string HostPath(const std::string &path);
// A UTF-8 text in the host's code page (GBK, code page 936, under Wine).
std::string SystemText(const std::string &utf8);
// The reverse.
std::string Utf8Text(const std::string &system);
} // namespace runner

class HostProcess {
public:
    // Called for "box" and "notice" events; returns the answer.
    using EventHandler = std::function<int(const Tokens &event)>;

    // How long one command may take, events included.
    static constexpr int kCallTimeoutMs = 180000;

    HostProcess() = default;
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    // Starts `program` (a native program, or a Windows program run under
    // Wine when `windows` is set) with this process's environment plus
    // `environment`, in `directory` (empty: the current one).
    bool Start(const std::string &program, bool windows, const std::map<std::string, std::string> &environment,
               const std::string &directory = {});
    bool Running() const { return child_.Running(); }

    // Runs a command; the results after "ok". An "error" answer, a host
    // that ended or a time-out fails the test and gives no results.
    Tokens Call(const Tokens &command, int timeoutMs = kCallTimeoutMs);

    void SetEventHandler(EventHandler handler) { onEvent_ = std::move(handler); }
    // The "event" lines seen so far, without their first token.
    const std::vector<Tokens> &Events() const { return events_; }
    void ClearEvents() { events_.clear(); }

    // Sends "quit" and waits for the exit; the exit code, or -1 when the
    // host had to be killed.
    int Quit(int timeoutMs = 30000);
    void Kill();

private:
    bool ReadLine(std::string *line, long long deadline);
    void Send(const Tokens &tokens);

    kelvara::testing::ChildProgram child_;
    EventHandler onEvent_;
    std::vector<Tokens> events_;
};

} // namespace wqn::host
