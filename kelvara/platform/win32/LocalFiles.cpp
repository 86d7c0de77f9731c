// Local files, file search, and local time on Windows. Names are
// in the system code page and compared double-byte aware.
#include "kelvara/services/LocalFiles.h"

#include "kelvara/platform/win32/LocalTime.h"
#include "kelvara/services/NameCase.h"

#include "common/win32/WindowsHeaders.h"

#include <mbstring.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvara {
namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

class FindHandle {
public:
    explicit FindHandle(HANDLE h)
        : h_(h)
    {
    }
    ~FindHandle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            ::FindClose(h_);
    }
    FindHandle(const FindHandle &) = delete;
    FindHandle &operator=(const FindHandle &) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

} // namespace

LocalFile::~LocalFile() { Close(); }

bool LocalFile::OpenForRead(const std::string &path)
{
    Close();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool LocalFile::Create(const std::string &path)
{
    Close();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

long long LocalFile::Read(void *buffer, std::size_t size)
{
    DWORD got = 0;
    if (!IsOpen() || !::ReadFile(Handle(handle_), buffer, static_cast<DWORD>(size), &got, nullptr))
        return -1;
    return got;
}

bool LocalFile::Write(const void *buffer, std::size_t size)
{
    const auto *bytes = static_cast<const char *>(buffer);
    while (size > 0) {
        DWORD put = 0;
        if (!IsOpen() || !::WriteFile(Handle(handle_), bytes, static_cast<DWORD>(size), &put, nullptr) || put == 0)
            return false;
        bytes += put;
        size -= put;
    }
    return true;
}

long long LocalFile::Length()
{
    LARGE_INTEGER size{};
    if (!IsOpen() || !::GetFileSizeEx(Handle(handle_), &size))
        return -1;
    return size.QuadPart;
}

void LocalFile::Close()
{
    if (IsOpen()) {
        ::CloseHandle(Handle(handle_));
        handle_ = kClosed;
    }
}

std::vector<FoundFile> FindFiles(const std::string &wildcards)
{
    std::vector<FoundFile> found;
    // The directory part ends at the last separator that is a character of
    // its own, not the trail byte of a double-byte character.
    std::size_t slash = std::string::npos;
    for (std::size_t pos = 0; pos < wildcards.size(); pos += CharLengthAt(wildcards, pos)) {
        const char c = wildcards[pos];
        if (CharLengthAt(wildcards, pos) == 1 && (c == '\\' || c == '/' || c == ':'))
            slash = pos;
    }
    const std::string prefix = slash == std::string::npos ? std::string() : wildcards.substr(0, slash + 1);
    WIN32_FIND_DATAA data{};
    FindHandle search(::FindFirstFileA(wildcards.c_str(), &data));
    if (search.get() == INVALID_HANDLE_VALUE)
        return found;
    do {
        FoundFile file;
        file.path = prefix + data.cFileName;
        file.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        found.push_back(std::move(file));
    } while (::FindNextFileA(search.get(), &data));
    return found;
}

std::string_view LocalPathSeparators() { return "\\/"; }

bool IsPlainFileName(std::string_view name)
{
    // ':', '.' and ' ' are below every trail byte of the double-byte code
    // pages, so plain byte searches find only real characters.
    if (name.empty() || name.find(':') != std::string_view::npos || name.back() == '.' || name.back() == ' ')
        return false;
    // A device name stays a device with any extension ("NUL.txt") and with
    // spaces before the extension ("CON .log").
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    const auto startsWith = [&base](std::string_view device) {
        return base.size() >= device.size() && _strnicmp(base.data(), device.data(), device.size()) == 0;
    };
    if (base.size() == 3)
        return !(startsWith("CON") || startsWith("PRN") || startsWith("AUX") || startsWith("NUL"));
    // COM0 and LPT0 are reserved as well, though no port carries the number.
    if (base.size() == 4 && base[3] >= '0' && base[3] <= '9')
        return !(startsWith("COM") || startsWith("LPT"));
    return true;
}

std::string TimeStampOf(const SYSTEMTIME &time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", int(time.wYear), int(time.wMonth), int(time.wDay),
                  int(time.wHour), int(time.wMinute), int(time.wSecond));
    return text;
}

std::string LocalTimeStamp()
{
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return TimeStampOf(now);
}

} // namespace kelvara
