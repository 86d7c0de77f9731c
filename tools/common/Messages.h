// The tools' own messages in the user's language through gettext: English
// msgids wrapped in _() (N_() only marks a text for the catalogue), one text
// domain for both tools. Windows builds have no libintl: there _() is the
// English text itself.
#pragma once

#define N_(text) text

#if defined(WQN_HAVE_GETTEXT) && !defined(_WIN32)

#include <libintl.h>

#include <clocale>
#include <cstdlib>

#define _(text) ::gettext(text)

namespace wqn::tools {

inline constexpr char kTextDomain[] = "wqn-tools";

// Takes the locale from the environment and binds the catalogues: the
// installed ones (under the install prefix given at build time, as gettext
// programs do), or those under $KELVARA_LOCALEDIR (the build tree's, for
// tests and for running the tools from the build tree). Numbers keep the C
// locale, so scripts read them the same everywhere.
inline void InitMessages()
{
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    const char *directory = std::getenv("KELVARA_LOCALEDIR");
    ::bindtextdomain(kTextDomain, directory != nullptr && *directory != '\0' ? directory : WQN_LOCALEDIR);
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
