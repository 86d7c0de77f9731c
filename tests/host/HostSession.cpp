// The hosts' environment, ports and the active host.
#include "tests/host/HostSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace wqn::host {
namespace {

std::map<std::string, std::string> &Environment()
{
    static std::map<std::string, std::string> environment;
    return environment;
}

HostProcess *g_active = nullptr;

} // namespace

void SetHostEnvironment(const std::string &name, const std::string &value) { Environment()[name] = value; }
void ResetHostEnvironment() { Environment().clear(); }
const std::map<std::string, std::string> &HostEnvironment() { return Environment(); }

HostProcess *ActiveHost() { return g_active; }
void SetActiveHost(HostProcess *host) { g_active = host; }

void MapPort(int n, const std::string &device)
{
    if (runner::UnderWine()) {
        const char *ports = std::getenv("WQN_WINE_PORTS");
        ASSERT_NE(ports, nullptr) << "WQN_WINE_PORTS is not set";
        const std::filesystem::path link = std::filesystem::path(ports) / ("com" + std::to_string(n));
        const std::filesystem::path fresh = link.string() + ".new";
        std::error_code ignored;
        std::filesystem::remove(fresh, ignored);
        // Wine opens /dev/ttyS<n-1> for a COM port whose link leads nowhere;
        // a directory is a port that cannot be opened.
        const std::filesystem::path absent = std::filesystem::path(ports) / "absent";
        std::filesystem::create_directories(absent, ignored);
        std::filesystem::create_symlink(std::filesystem::exists(device) ? std::filesystem::path(device) : absent,
                                        fresh);
        std::filesystem::rename(fresh, link); // replaces the old link at once
        return;
    }
    const std::string name = "WQN_COM" + std::to_string(n);
    SetHostEnvironment(name, device);
    if (g_active != nullptr && g_active->Running())
        g_active->Call({"setenv", name, device});
}

} // namespace wqn::host
