// The dynamic loader on Linux: dlopen/dlsym/dlclose, and the executable's
// path from /proc/self/exe.
#include "kelvara/services/DynamicLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

namespace kelvara {

namespace vendor_library {
const char *const kGc481Name = "libgcic32.so";
const char *const kMcsFileName = "libmcs_sr.so";
const char kPathSeparator = '/';
} // namespace vendor_library

bool DynamicLibrary::Load(const std::string &name)
{
    Free();
    // RTLD_LOCAL keeps the vendor's symbols out of the global namespace, so
    // two vendor libraries never resolve each other's functions.
    module_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    return module_ != nullptr;
}

// dlopen looks for a bare name on the loader's search path only.
bool DynamicLibrary::LoadInstalled(const std::string &fileName) { return Load(fileName); }

void DynamicLibrary::Free()
{
    if (module_ != nullptr) {
        ::dlclose(module_);
        module_ = nullptr;
    }
}

void *DynamicLibrary::Symbol(const char *name) const
{
    if (module_ == nullptr || name == nullptr)
        return nullptr;
    return ::dlsym(module_, name);
}

std::string ExecutableFileName()
{
    std::vector<char> buffer(PATH_MAX + 1);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        buffer.resize(buffer.size() * 2); // truncated: try a larger buffer
    }
}

} // namespace kelvara
