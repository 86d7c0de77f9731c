// Local files, file search, local time and the case rules of card and local
// names: the services the card file system needs from the host OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// A local file opened for one operation and closed by its destructor.
class LocalFile {
public:
    LocalFile() = default;
    ~LocalFile();
    LocalFile(const LocalFile &) = delete;
    LocalFile &operator=(const LocalFile &) = delete;

    bool OpenForRead(const std::string &path); // binary, read only
    bool Create(const std::string &path); // create or truncate, read/write
    // Up to `size` bytes; the count read (0 at the end), or -1 on an error.
    long long Read(void *buffer, std::size_t size);
    bool Write(const void *buffer, std::size_t size); // all bytes or false
    long long Length(); // -1 on an error
    void Close();
    bool IsOpen() const { return handle_ != kClosed; }

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed; // file descriptor or HANDLE
};

struct FoundFile {
    std::string path; // full path as the caller would open it
    bool isDirectory = false;
};

// Every entry matching a path whose last component may hold "*"
// and "?", in the order the file system returns them; empty when none.
std::vector<FoundFile> FindFiles(const std::string &wildcards);

// The characters that separate the components of a local path.
std::string_view LocalPathSeparators();

// The current local time as "%Y%m%d%H%M%S".
std::string LocalTimeStamp();

// Lower-casing and case-insensitive equality of 8-bit names: ASCII letters
// only on Linux (UTF-8 bytes untouched), double-byte aware on Windows.
std::string LowerText(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Bytes taken by the character that starts at text[pos]: 2 for a double-byte
// character of the system code page on Windows (its trail byte may look like
// '\' or a letter), 1 otherwise and always on Linux.
std::size_t CharLengthAt(std::string_view text, std::size_t pos);

} // namespace kelvara
