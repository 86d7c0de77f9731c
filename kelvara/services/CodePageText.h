// Conversions between the library's own UTF-8 texts and the 8-bit text of
// the host system (the ANSI code page on Windows; UTF-8 on Linux, where both
// are the identity).
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// UTF-8 (as a Java program hands it over) to the system code page. A text
// that cannot be converted comes back unchanged.
std::string CodePageFromUtf8(const std::string &utf8);

// System code-page text to UTF-8, for windows and handlers that speak UTF-8.
std::string Utf8FromCodePage(std::string_view text);

} // namespace kelvara
