// The running processes on Windows, through tool-help or psapi.dll.
//
// The psapi branch sees every process: the identifier list grows until it
// fits (a fixed list of 255 misses most processes of a current system), and
// a process that may not be opened for reading its memory - another user's,
// or a protected one - is asked for its image name with the limited query
// right where the system has QueryFullProcessImageNameA (Vista and later).
// That reaches other sessions' processes too, so both branches keep to the
// caller's session where the system tells sessions apart.
#include "kelvara/services/ProcessList.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/platform/win32/ProcessBranches.h"
#include "kelvara/services/DynamicLibrary.h"

#include <tlhelp32.h>

#include <vector>

namespace kelvara {
namespace {

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle)
        : handle_(handle)
    {
    }
    ~OwnedHandle()
    {
        if (Valid())
            ::CloseHandle(handle_);
    }
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// Long enough for any image path the system hands out.
constexpr DWORD kImageChars = 1024;
constexpr DWORD kQueryLimitedInformation = 0x1000; // PROCESS_QUERY_LIMITED_INFORMATION

using CreateSnapshotFn = HANDLE(WINAPI *)(DWORD, DWORD);
using ProcessWalkFn = BOOL(WINAPI *)(HANDLE, PROCESSENTRY32 *);
using ModuleFileNameFn = DWORD(WINAPI *)(HANDLE, HMODULE, char *, DWORD);
using QueryImageNameFn = BOOL(WINAPI *)(HANDLE, DWORD, char *, DWORD *);

std::string ImageOf(DWORD id, ModuleFileNameFn moduleFileName, QueryImageNameFn queryImageName)
{
    char image[kImageChars] = "";
    {
        OwnedHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
        if (process.Valid()) {
            const DWORD length = moduleFileName(process.Get(), nullptr, image, kImageChars);
            if (length > 0 && length < kImageChars)
                return std::string(image, length);
        }
    }
    if (queryImageName == nullptr)
        return {};
    OwnedHandle process(::OpenProcess(kQueryLimitedInformation, FALSE, id));
    DWORD length = kImageChars;
    if (!process.Valid() || !queryImageName(process.Get(), 0, image, &length) || length == 0)
        return {};
    return std::string(image, length);
}

// Which processes share the caller's session.
class SessionFilter {
public:
    explicit SessionFilter(SessionOfFn sessionOf)
        : sessionOf_(sessionOf)
    {
        if (sessionOf_ != nullptr && !sessionOf_(::GetCurrentProcessId(), &own_))
            sessionOf_ = nullptr;
    }
    bool Admits(DWORD id) const
    {
        DWORD session = 0;
        return sessionOf_ == nullptr || (sessionOf_(id, &session) && session == own_);
    }

private:
    SessionOfFn sessionOf_;
    DWORD own_ = 0;
};

} // namespace

SessionOfFn SystemSessionOf()
{
    const HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL");
    return kernel != nullptr
        ? reinterpret_cast<SessionOfFn>(reinterpret_cast<void *>(::GetProcAddress(kernel, "ProcessIdToSessionId")))
        : nullptr;
}

std::vector<DWORD> AllProcessIds(EnumProcessesFn enumProcesses)
{
    std::vector<DWORD> ids(256);
    for (;;) {
        DWORD bytes = 0;
        const DWORD capacity = DWORD(ids.size() * sizeof(DWORD));
        if (!enumProcesses(ids.data(), capacity, &bytes))
            return {};
        // A full list may have been cut short: ask again with more room.
        if (bytes < capacity || ids.size() >= (1u << 20)) {
            ids.resize(bytes / sizeof(DWORD));
            return ids;
        }
        ids.resize(ids.size() * 2);
    }
}

void ToolHelpProcessImages(const ImageVisitor &visit, SessionOfFn sessionOf)
{
    const SessionFilter ownSession(sessionOf);
    DynamicLibrary kernel;
    if (!kernel.Load("KERNEL32.DLL"))
        return;
    const auto createSnapshot = reinterpret_cast<CreateSnapshotFn>(kernel.Symbol("CreateToolhelp32Snapshot"));
    const auto first = reinterpret_cast<ProcessWalkFn>(kernel.Symbol("Process32First"));
    const auto next = reinterpret_cast<ProcessWalkFn>(kernel.Symbol("Process32Next"));
    if (createSnapshot == nullptr || first == nullptr || next == nullptr)
        return;
    OwnedHandle snapshot(createSnapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid())
        return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = first(snapshot.Get(), &entry); more; more = next(snapshot.Get(), &entry)) {
        if (ownSession.Admits(entry.th32ProcessID) && !visit(entry.szExeFile))
            return;
    }
}

void PsapiProcessImages(const ImageVisitor &visit, SessionOfFn sessionOf)
{
    const SessionFilter ownSession(sessionOf);
    DynamicLibrary psapi;
    if (!psapi.Load("psapi.dll"))
        return;
    const auto enumProcesses = reinterpret_cast<EnumProcessesFn>(psapi.Symbol("EnumProcesses"));
    const auto moduleFileName = reinterpret_cast<ModuleFileNameFn>(psapi.Symbol("GetModuleFileNameExA"));
    if (enumProcesses == nullptr || moduleFileName == nullptr)
        return;
    DynamicLibrary kernel;
    QueryImageNameFn queryImageName = nullptr;
    if (kernel.Load("KERNEL32.DLL"))
        queryImageName = reinterpret_cast<QueryImageNameFn>(kernel.Symbol("QueryFullProcessImageNameA"));
    for (const DWORD id : AllProcessIds(enumProcesses)) {
        if (!ownSession.Admits(id))
            continue;
        const std::string image = ImageOf(id, moduleFileName, queryImageName);
        if (!image.empty() && !visit(image))
            return;
    }
}

void ForEachProcessImage(const std::function<bool(std::string_view image)> &visit)
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!::GetVersionExA(&version))
        return;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        ToolHelpProcessImages(visit, SystemSessionOf());
    else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        PsapiProcessImages(visit, SystemSessionOf());
}

} // namespace kelvara
