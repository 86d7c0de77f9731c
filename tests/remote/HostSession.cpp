// The hosts' environment, ports and the active host.
#include "tests/remote/HostSession.h"

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

HostedLibrary *g_newest = nullptr;

} // namespace

void SetHostEnvironment(const std::string &name, const std::string &value) { Environment()[name] = value; }
void ResetHostEnvironment() { Environment().clear(); }
const std::map<std::string, std::string> &HostEnvironment() { return Environment(); }

HostProcess *ActiveHost() { return g_newest != nullptr ? &g_newest->Host() : nullptr; }

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
    if (HostProcess *active = ActiveHost(); active != nullptr && active->Running())
        active->Call({"setenv", name, device});
}

HostedLibrary::HostedLibrary(const std::string &program, const std::string &windowsProgram,
                             const std::string &dllDirectory, const std::string &directory)
    : previous_(g_newest)
{
    g_newest = this;
    std::map<std::string, std::string> environment = HostEnvironment();
    const bool wine = runner::UnderWine();
    if (wine) {
        std::string path = runner::HostPath(runner::WineBuildFile(dllDirectory));
        if (const auto it = environment.find("WINEPATH"); it != environment.end() && !it->second.empty())
            path = it->second + ";" + path;
        environment["WINEPATH"] = path;
    }
    const std::string windows =
        !windowsProgram.empty() && windowsProgram[0] == '/' ? windowsProgram : runner::WineBuildFile(windowsProgram);
    started_ = host_.Start(wine ? windows : program, wine, environment, directory);
    EXPECT_TRUE(started_) << "the library host did not start";
}

HostedLibrary::~HostedLibrary()
{
    if (!finished_)
        Finish();
}

int HostedLibrary::Finish()
{
    finished_ = true;
    const int code = host_.Running() ? host_.Quit() : -1;
    if (g_newest == this)
        g_newest = previous_;
    EXPECT_EQ(code, 0) << "the library process did not end normally";
    return code;
}

HostedLibrary *HostedLibrary::Newest() { return g_newest; }

Tokens CallLibrary(HostedLibrary *library, const Tokens &command)
{
    if (library == nullptr) {
        ADD_FAILURE() << "no library process runs for " << JoinLine(command);
        return {};
    }
    return library->Host().Call(command);
}

} // namespace wqn::host
