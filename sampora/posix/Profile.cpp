// Settings on Linux: $SAMPORA_SETTINGS, "sampora.ini" in the current
// directory, or the XDG config directory's sampora/sampora.ini, parsed with
// the same rules as the Windows profile functions.
#include "sampora/Settings.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace sampora {
namespace {

const char *Variable(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

std::string SettingsFilePath()
{
    if (const char *path = Variable("SAMPORA_SETTINGS"))
        return path;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr) {
        const std::string here = std::string(cwd) + "/sampora.ini";
        if (::access(here.c_str(), F_OK) == 0)
            return here;
    }
    if (const char *config = Variable("XDG_CONFIG_HOME"))
        return std::string(config) + "/sampora/sampora.ini";
    if (const char *home = Variable("HOME"))
        return std::string(home) + "/.config/sampora/sampora.ini";
    return {};
}

ReaderSettings LoadReaderSettings()
{
    ReaderSettings settings;
    const std::string path = SettingsFilePath();
    if (path.empty())
        return settings;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return settings;
    std::ostringstream text;
    text << file.rdbuf();
    const std::string ini = text.str();
    settings.port = ProfileInt(ini, "reader", "port", settings.port);
    settings.baud = ProfileInt(ini, "reader", "baud", settings.baud);
    settings.paritybit = ProfileInt(ini, "reader", "paritybit", settings.paritybit);
    settings.databit = ProfileInt(ini, "reader", "databit", settings.databit);
    settings.stopbit = ProfileInt(ini, "reader", "stopbit", settings.stopbit);
    return settings;
}

} // namespace sampora
