// Settings on Windows: GetPrivateProfileIntA on "sampora.ini" in the
// current directory.
#include "sampora/Settings.h"

#include "common/win32/WindowsHeaders.h"

#include <string>

namespace sampora {

ReaderSettings LoadReaderSettings()
{
    ReaderSettings settings;
    char directory[200];
    const DWORD n = ::GetCurrentDirectoryA(sizeof directory, directory);
    // A directory that does not fit leaves no usable path: every key then
    // takes its default, as with a missing file.
    if (n == 0 || n >= sizeof directory)
        return settings;
    const std::string path = std::string(directory) + "\\sampora.ini";
    const char *file = path.c_str();
    settings.port = ::GetPrivateProfileIntA("reader", "port", 1, file);
    settings.baud = ::GetPrivateProfileIntA("reader", "baud", 9600, file);
    settings.paritybit = ::GetPrivateProfileIntA("reader", "paritybit", 0, file);
    settings.databit = ::GetPrivateProfileIntA("reader", "databit", 8, file);
    settings.stopbit = ::GetPrivateProfileIntA("reader", "stopbit", 1, file);
    return settings;
}

} // namespace sampora
