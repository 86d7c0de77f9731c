// Local files, file search and local time: the services the card file
// system needs from the host OS.
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

// Whether a file created as `name` (one path component, without
// separators) in a directory is the file of that name in that directory.
// On Windows a device name (CON, COM1, NUL.txt, ...), a stream name (with
// a ':') and a name ending in a dot or a space open something else; on
// Linux every such name is a plain file.
bool IsPlainFileName(std::string_view name);

// The current local time as "%Y%m%d%H%M%S".
std::string LocalTimeStamp();

} // namespace kelvara
