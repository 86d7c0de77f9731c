// Reading UTF-8 one character at a time, for the places that must tell
// well-formed text from stray bytes: what reaches a terminal and what is
// handed to a Java VM.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvara::utf8 {

// The length (1 to 4) of the well-formed UTF-8 character that starts at
// byte `at` of `text`, with its code point in `codePoint`; 0 when the bytes
// there are no such character (a stray continuation byte, a cut sequence,
// an overlong form, a surrogate or a value above U+10FFFF).
std::size_t CharacterAt(std::string_view text, std::size_t at, char32_t &codePoint);

} // namespace kelvara::utf8
