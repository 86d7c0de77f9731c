// The host programs on Linux: the settings file, dlopen, std::thread.
#include "tests/remote/HostPlatform.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace wqn::host::platform {
namespace {

std::string SettingsPath()
{
    const char *path = std::getenv("KELVARA_SETTINGS");
    if (path == nullptr || *path == '\0')
        throw CommandError("KELVARA_SETTINGS is not set");
    return path;
}

// The "Name=value" lines of the [Settings] section, in file order.
std::vector<std::pair<std::string, std::string>> ReadSettings()
{
    std::vector<std::pair<std::string, std::string>> values;
    std::ifstream in(SettingsPath());
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inSection = line == "[Settings]";
            continue;
        }
        const auto equals = line.find('=');
        if (inSection && equals != std::string::npos)
            values.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return values;
}

void WriteSettings(const std::vector<std::pair<std::string, std::string>> &values)
{
    std::ofstream out(SettingsPath(), std::ios::trunc);
    out << "[Settings]\n";
    for (const auto &[name, value] : values)
        out << name << '=' << value << '\n';
}

void Store(const std::string &name, const std::string &value)
{
    auto values = ReadSettings();
    bool found = false;
    for (auto &[n, v] : values) {
        if (n == name) {
            v = value;
            found = true;
        }
    }
    if (!found)
        values.emplace_back(name, value);
    WriteSettings(values);
}

} // namespace

void Init() {}

Tokens DumpSettings()
{
    Tokens dump;
    for (const auto &[name, value] : ReadSettings()) {
        dump.push_back(name);
        dump.push_back("ini");
        dump.push_back(value);
    }
    return dump;
}

void ClearSettings() { std::remove(SettingsPath().c_str()); }
void StoreSettingInt(const std::string &name, long value) { Store(name, std::to_string(value)); }
void StoreSettingText(const std::string &name, const std::string &value) { Store(name, value); }

std::string CodePage() { return "utf-8"; }

void SetEnvironment(const std::string &name, const std::string &value)
{
    if (value.empty())
        ::unsetenv(name.c_str());
    else
        ::setenv(name.c_str(), value.c_str(), 1);
}

char PathSeparator() { return '/'; }

void RunTogether(const std::function<void()> &a, const std::function<void()> &b)
{
    std::thread first(a);
    b();
    first.join();
}

void *LoadLibraryFile(const std::string &name) { return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL); }
void *LibrarySymbol(void *library, const char *name) { return ::dlsym(library, name); }
bool FreeLibraryHandle(void *library) { return ::dlclose(library) == 0; }

bool LibraryLoaded(const std::string &name)
{
    void *handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    ::dlclose(handle);
    return true;
}

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void AddPlatformCommands(Host &) {}

} // namespace wqn::host::platform
