// Local files, file search, and local time on Linux.
#include "kelvara/services/LocalFiles.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace kelvara {
namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

int OpenRetrying(const char *path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool IsDirectory(const char *path)
{
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Bytes of the UTF-8 character that starts at name[pos] (a stray
// continuation byte counts as a character of its own).
std::size_t Utf8LengthAt(std::string_view name, std::size_t pos)
{
    std::size_t end = pos + 1;
    while (end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        ++end;
    return end - pos;
}

// '*' stands for any run of characters, dots included, '?' for exactly one
// character; everything else matches itself exactly (case counts on Linux).
bool WildcardMatch(std::string_view pattern, std::string_view name)
{
    std::size_t s = 0, n = 0;
    std::size_t starPattern = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (s < pattern.size() && pattern[s] == '*') {
            starPattern = ++s;
            starName = n;
        } else if (s < pattern.size() && pattern[s] == '?') {
            ++s;
            n += Utf8LengthAt(name, n);
        } else if (s < pattern.size() && pattern[s] == name[n]) {
            ++s;
            ++n;
        } else if (starPattern != std::string_view::npos) {
            // Let the last star take one more character and try again.
            starName += Utf8LengthAt(name, starName);
            n = starName;
            s = starPattern;
        } else {
            return false;
        }
    }
    while (s < pattern.size() && pattern[s] == '*')
        ++s;
    return s == pattern.size();
}

// The file search of Windows, which callers' patterns are written for:
// a final ".*" also matches a name without an extension, so "*.*" is every
// file and "README.*" finds README.
bool MatchesFilePattern(std::string_view pattern, std::string_view name)
{
    if (WildcardMatch(pattern, name))
        return true;
    constexpr std::string_view kAnyExtension = ".*";
    return pattern.size() >= kAnyExtension.size() &&
        pattern.substr(pattern.size() - kAnyExtension.size()) == kAnyExtension &&
        WildcardMatch(pattern.substr(0, pattern.size() - kAnyExtension.size()), name);
}

} // namespace

LocalFile::~LocalFile() { Close(); }

bool LocalFile::OpenForRead(const std::string &path)
{
    Close();
    const int fd = OpenRetrying(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    if (IsDirectory(path.c_str())) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool LocalFile::Create(const std::string &path)
{
    Close();
    const int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    handle_ = fd;
    return true;
}

long long LocalFile::Read(void *buffer, std::size_t size)
{
    if (!IsOpen())
        return -1;
    ssize_t n;
    do {
        n = ::read(Fd(handle_), buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool LocalFile::Write(const void *buffer, std::size_t size)
{
    if (!IsOpen())
        return false;
    const auto *bytes = static_cast<const char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(Fd(handle_), bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long long LocalFile::Length()
{
    struct stat st {};
    if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0)
        return -1;
    return st.st_size;
}

void LocalFile::Close()
{
    if (IsOpen()) {
        ::close(Fd(handle_));
        handle_ = kClosed;
    }
}

std::vector<FoundFile> FindFiles(const std::string &wildcards)
{
    // Wildcards apply to the last component, as in a Windows file search.
    const std::size_t slash = wildcards.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : wildcards.substr(0, slash == 0 ? 1 : slash);
    const std::string prefix = slash == std::string::npos ? std::string() : wildcards.substr(0, slash + 1);
    const std::string pattern = slash == std::string::npos ? wildcards : wildcards.substr(slash + 1);

    std::vector<FoundFile> found;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir)
        return found;
    while (const dirent *entry = ::readdir(dir.get())) {
        if (!MatchesFilePattern(pattern, entry->d_name))
            continue;
        FoundFile file;
        file.path = prefix + entry->d_name;
        file.isDirectory = IsDirectory(file.path.c_str());
        found.push_back(std::move(file));
    }
    // readdir's order is arbitrary; name order makes a search repeatable.
    std::sort(found.begin(), found.end(), [](const FoundFile &a, const FoundFile &b) { return a.path < b.path; });
    return found;
}

std::string_view LocalPathSeparators() { return "/"; }

bool IsPlainFileName(std::string_view) { return true; }

std::string LocalTimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

} // namespace kelvara
