// Test support on Linux.
#include "tests/support/TestPlatform.h"

#include <cstdlib>
#include <dlfcn.h>

namespace wqn::testing {

std::filesystem::path MakeScratchDirectory(const std::string &prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    const char *made = ::mkdtemp(pattern.data());
    return made != nullptr ? std::filesystem::path(made) : std::filesystem::path();
}

void SetEnvironmentVariable(const std::string &name, const std::optional<std::string> &value)
{
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

void ClearStoredSettings() {}

bool LibraryLoaded(const std::string &path)
{
    void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return false;
    ::dlclose(handle);
    return true;
}

} // namespace wqn::testing
