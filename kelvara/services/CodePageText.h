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

// The library's 8-bit text as a Java VM's NewStringUTF takes it: complete,
// well-formed modified UTF-8. Text that is modified UTF-8 already (what
// GetStringUTFChars handed over) stays byte for byte. Other well-formed
// UTF-8 keeps its characters, with a zero byte as C0 80 and a character
// above U+FFFF as its two surrogates. Anything else is read in the system
// code page (on Linux that is UTF-8 again), and each byte that still forms
// no character becomes U+FFFD, so a damaged name shows as damaged.
std::string JavaTextFrom(std::string_view text);

} // namespace kelvara
