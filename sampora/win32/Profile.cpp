// Settings on Windows: GetPrivateProfileIntA on %SAMPORA_SETTINGS%, else
// "sampora.ini" in the current directory.
#include "sampora/Settings.h"

#include "common/win32/WindowsHeaders.h"

#include <string>

namespace sampora {

std::string SettingsFilePath()
{
    char value[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableA("SAMPORA_SETTINGS", value, sizeof value);
    if (length > 0 && length < sizeof value)
        return value;
    char directory[200];
    const DWORD n = ::GetCurrentDirectoryA(sizeof directory, directory);
    // A directory that does not fit leaves no usable path: every key then
    // takes its default, as with a missing file.
    if (n == 0 || n >= sizeof directory)
        return {};
    return std::string(directory) + "\\sampora.ini";
}

ReaderSettings LoadReaderSettings()
{
    ReaderSettings settings;
    const std::string path = SettingsFilePath();
    if (path.empty())
        return settings;
    const char *file = path.c_str();
    settings.port = ::GetPrivateProfileIntA("reader", "port", 1, file);
    settings.baud = ::GetPrivateProfileIntA("reader", "baud", 9600, file);
    settings.paritybit = ::GetPrivateProfileIntA("reader", "paritybit", 0, file);
    settings.databit = ::GetPrivateProfileIntA("reader", "databit", 8, file);
    settings.stopbit = ::GetPrivateProfileIntA("reader", "stopbit", 1, file);
    return settings;
}

} // namespace sampora
