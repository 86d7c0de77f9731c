// One log line appended with a single write to a file opened for appending
// only (FILE_APPEND_DATA), so lines of several processes never mix, shared
// with the other writers of the log.
#include "sim/vendor/VendorSimSupport.h"

#include <windows.h>

namespace wqn::sim::vendor {

void AppendLine(const std::string &path, const std::string &line)
{
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

} // namespace wqn::sim::vendor
