// Test support on Windows.
#include "tests/support/TestPlatform.h"

#include <windows.h>

#include <cstdlib>

namespace wqn::testing {

std::filesystem::path MakeScratchDirectory(const std::string &prefix)
{
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::filesystem::path dir = base /
            (prefix + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount() + attempt));
        std::error_code error;
        if (std::filesystem::create_directory(dir, error))
            return dir;
    }
    return {};
}

void SetEnvironmentVariable(const std::string &name, const std::optional<std::string> &value)
{
    // The C library's copy (getenv) and the process's (GetEnvironmentVariable).
    _putenv_s(name.c_str(), value ? value->c_str() : "");
    ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
}

void ClearStoredSettings() { ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\WQN_Ltd.\\Kelvara\\Settings"); }

bool LibraryLoaded(const std::string &path) { return ::GetModuleHandleA(path.c_str()) != nullptr; }

} // namespace wqn::testing
