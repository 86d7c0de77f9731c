// What every library host of a test shares: the environment the hosts start
// with, the COM ports (environment variables natively, symlinks the Wine
// prefix maps COM1..COM6 to under Wine), and the host that runs now.
#pragma once

#include "tests/host/HostProcess.h"

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
void SetActiveHost(HostProcess *host);

} // namespace wqn::host
