// The dynamic loader on Windows: LoadLibraryA/GetProcAddress/FreeLibrary,
// and the executable's path from GetModuleFileNameA.
#include "kelvara/services/DynamicLibrary.h"

#include "common/win32/WindowsHeaders.h"

#include <vector>

namespace kelvara {

namespace vendor_library {
const char *const kGc481Name = "Gcic32.dll";
const char *const kMcsFileName = "MCS_SR.DLL";
const char kPathSeparator = '\\';
} // namespace vendor_library

bool DynamicLibrary::Load(const std::string &name)
{
    Free();
    module_ = reinterpret_cast<void *>(::LoadLibraryA(name.c_str()));
    return module_ != nullptr;
}

void DynamicLibrary::Free()
{
    if (module_ != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(module_));
        module_ = nullptr;
    }
}

void *DynamicLibrary::Symbol(const char *name) const
{
    if (module_ == nullptr || name == nullptr)
        return nullptr;
    return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(module_), name));
}

std::string ExecutableFileName()
{
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2); // truncated: try a larger buffer
    }
}

} // namespace kelvara
