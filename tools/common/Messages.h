// The tools' own messages in the user's language through gettext: English
// msgids wrapped in _() (N_() only marks a text for the catalogue), one text
// domain for both tools. Windows builds have no libintl: there _() is the
// English text itself.
#pragma once

#define N_(text) text

#if defined(WQN_HAVE_GETTEXT) && !defined(_WIN32)

#include <libintl.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#define _(text) ::gettext(text)

namespace wqn::tools {

inline constexpr char kTextDomain[] = "wqn-tools";

// The catalogues installed beside this program (bin/../share/locale), so an
// installed tree or package works under any prefix, as the libraries are
// found through the program's RPATH; else those under the prefix the build
// was configured for.
inline std::string InstalledLocaleDirectory()
{
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    if (n > 0 && static_cast<std::size_t>(n) < self.size()) {
        self.resize(static_cast<std::size_t>(n));
        const std::string directory = self.substr(0, self.rfind('/') + 1) + WQN_LOCALEDIR_FROM_BINDIR;
        struct stat info {};
        if (::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return directory;
    }
    return WQN_LOCALEDIR;
}

// Takes the locale from the environment and binds the catalogues: the
// installed ones, or those under $KELVARA_LOCALEDIR (the build tree's, for
// tests and for running the tools from the build tree). Numbers keep the C
// locale, so scripts read them the same everywhere.
inline void InitMessages()
{
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    const char *directory = std::getenv("KELVARA_LOCALEDIR");
    const std::string chosen =
        directory != nullptr && *directory != '\0' ? std::string(directory) : InstalledLocaleDirectory();
    ::bindtextdomain(kTextDomain, chosen.c_str());
    ::bind_textdomain_codeset(kTextDomain, "UTF-8");
    ::textdomain(kTextDomain);
}

} // namespace wqn::tools

#else

#define _(text) (text)

namespace wqn::tools {
inline void InitMessages() {}
} // namespace wqn::tools

#endif
