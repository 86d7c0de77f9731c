// The dynamic loader on Windows: LoadLibraryA/GetProcAddress/FreeLibrary,
// and the executable's path from GetModuleFileNameA.
#include "kelvara/services/DynamicLibrary.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/services/NameText.h"

#include <vector>

namespace kelvara {
namespace {

std::string SystemFolder(UINT(WINAPI *ask)(char *, UINT))
{
    char buffer[MAX_PATH + 1] = "";
    const UINT n = ask(buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

// A PATH entry names a fixed place only with a drive and a root ("C:\x")
// or as a network share ("\\\\server\\x"); any other entry is resolved
// against the current directory.
bool IsFixedDirectory(std::string_view dir)
{
    const auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    if (dir.size() >= 3 && dir[1] == ':' && isSeparator(dir[2]))
        return true;
    return dir.size() >= 2 && isSeparator(dir[0]) && isSeparator(dir[1]);
}

// The places Windows looks for a library loaded by bare name, without the
// current directory (LoadLibraryEx flags and SetDllDirectory are newer than
// the oldest systems the library runs on).
std::vector<std::string> InstalledLibraryDirectories()
{
    std::vector<std::string> dirs = {DirectoryOf(ExecutableFileName()), SystemFolder(&::GetSystemDirectoryA),
                                     SystemFolder(&::GetWindowsDirectoryA)};
    std::vector<char> path(::GetEnvironmentVariableA("PATH", nullptr, 0) + 1, '\0');
    const DWORD length = ::GetEnvironmentVariableA("PATH", path.data(), DWORD(path.size()));
    std::string_view rest(path.data(), length < path.size() ? length : 0);
    while (!rest.empty()) {
        const std::size_t semicolon = rest.find(';'); // never a trail byte
        std::string_view entry = rest.substr(0, semicolon);
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"')
            entry = entry.substr(1, entry.size() - 2);
        dirs.emplace_back(entry);
    }
    std::vector<std::string> fixed;
    for (std::string &dir : dirs) {
        if (IsFixedDirectory(dir))
            fixed.push_back(std::move(dir));
    }
    return fixed;
}

} // namespace

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

bool DynamicLibrary::LoadInstalled(const std::string &fileName)
{
    Free();
    for (const std::string &dir : InstalledLibraryDirectories()) {
        const std::string path =
            name_text::EndsWith(dir, '\\') || name_text::EndsWith(dir, '/') ? dir + fileName : dir + '\\' + fileName;
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && Load(path))
            return true;
    }
    return false;
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
