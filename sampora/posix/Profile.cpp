// Settings on Linux: "sampora.ini" in the current directory, parsed with
// the same rules as the Windows profile functions.
#include "sampora/Settings.h"

#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace sampora {

ReaderSettings LoadReaderSettings()
{
    ReaderSettings settings;
    std::string path;
    {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr)
            return settings;
        path = std::string(cwd) + "/sampora.ini";
    }
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
