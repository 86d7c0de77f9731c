// Loading a library at run time: the vendor readers' libraries are opened
// when their reader is tried and freed when it is closed. One implementation
// per OS (platform/posix: dlopen; platform/win32: LoadLibraryA).
#pragma once

#include <string>
#include <string_view>

// The vendors' libraries use the stdcall convention on 32-bit Windows; every
// other target has a single C calling convention.
#if defined(_WIN32) && defined(__i386__)
#define WQN_VENDOR_CALL __stdcall
#else
#define WQN_VENDOR_CALL
#endif

namespace kelvara {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Free(); }
    DynamicLibrary(const DynamicLibrary &) = delete;
    DynamicLibrary &operator=(const DynamicLibrary &) = delete;
    DynamicLibrary(DynamicLibrary &&other) noexcept
        : module_(other.module_)
    {
        other.module_ = nullptr;
    }
    DynamicLibrary &operator=(DynamicLibrary &&other) noexcept;

    // Loads `name`: a bare name is looked for in the system's search order,
    // a name with a directory is loaded from there. Frees a library already
    // held first. False when the library cannot be loaded.
    bool Load(const std::string &name);
    // Loads the installed library `fileName` (a bare file name) from the
    // places the system keeps libraries, never from the current directory,
    // which whoever hands the program a folder can fill: on Windows the
    // executable's directory, the system directory, the Windows directory
    // and the directories on PATH, in that order, by full path; on Linux the
    // dynamic loader's search path. Frees a library already held first.
    bool LoadInstalled(const std::string &fileName);
    // Frees the library if one is held; afterwards IsLoaded() is false.
    void Free();
    bool IsLoaded() const { return module_ != nullptr; }

    // The address of an exported function, or null when it is missing or no
    // library is held. Cast it to the function's pointer type.
    void *Symbol(const char *name) const;

private:
    void *module_ = nullptr; // HMODULE or the dlopen handle
};

// The full file name of the running program's executable; empty when the
// system cannot tell.
std::string ExecutableFileName();

// The directory part of `path`: everything before its last separator ('\'
// and '/' on Windows, '/' elsewhere); empty when it has none.
std::string DirectoryOf(std::string_view path);

// The vendor libraries as this OS names them.
namespace vendor_library {
// Loaded by bare name as an installed library (LoadInstalled).
extern const char *const kGc481Name;
// Loaded from the executable's directory.
extern const char *const kMcsFileName;
// The separator DirectoryOf cuts at and McsLibraryPath joins with.
extern const char kPathSeparator;
} // namespace vendor_library

} // namespace kelvara
