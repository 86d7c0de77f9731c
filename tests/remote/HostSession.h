// What every library host of a test shares: the environment the hosts start
// with, the COM ports (environment variables natively, symlinks the Wine
// prefix maps COM1..COM6 to under Wine), and the host that runs now.
#pragma once

#include "tests/remote/HostProcess.h"

#include <map>
#include <string>

namespace wqn::host {

// Environment variables every library host started from now on gets.
void SetHostEnvironment(const std::string &name, const std::string &value);
void ResetHostEnvironment();
const std::map<std::string, std::string> &HostEnvironment();

// Makes COM port `n` (1-6) lead to `device`, a path that need not exist. A
// host already running sees the change at its next port open.
void MapPort(int n, const std::string &device);

// The host the test talks to now (null: none), for MapPort.
HostProcess *ActiveHost();

// A process in which a test runs a library: its host program, started with
// the hosts' environment (under Wine with the DLL's build directory on the
// search path), the active host from construction to Finish.
class HostedLibrary {
public:
    virtual ~HostedLibrary();
    HostedLibrary(const HostedLibrary &) = delete;
    HostedLibrary &operator=(const HostedLibrary &) = delete;

    // Ends the process; its exit code (0 when it ended normally).
    int Finish();
    HostProcess &Host() { return host_; }
    bool Started() const { return started_; }

    // The newest one not yet finished, or null.
    static HostedLibrary *Newest();

protected:
    // `program`: the native host program, or under Wine `windowsProgram` (an
    // absolute path, or one in the mingw-x86_64 build), with `dllDirectory`
    // (in that build) on the search path; started in `directory` (empty: the
    // current one).
    HostedLibrary(const std::string &program, const std::string &windowsProgram, const std::string &dllDirectory,
                  const std::string &directory);

private:
    HostProcess host_;
    HostedLibrary *previous_;
    bool started_ = false;
    bool finished_ = false;
};

// Runs `command` in `library`'s host; a missing library fails the test.
Tokens CallLibrary(HostedLibrary *library, const Tokens &command);

} // namespace wqn::host
