// The case rules of card and local names, which differ by OS: ASCII letters
// only on Linux (UTF-8 bytes untouched), double-byte aware in the system code
// page on Windows (a trail byte may look like a letter or a backslash).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvara {

// Lower-casing and case-insensitive equality of 8-bit names: ASCII letters
// only on Linux (UTF-8 bytes untouched), double-byte aware on Windows.
std::string LowerText(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Bytes taken by the character that starts at text[pos]: 2 for a double-byte
// character of the system code page on Windows (its trail byte may look like
// '\' or a letter), 1 otherwise and always on Linux.
std::size_t CharLengthAt(std::string_view text, std::size_t pos);

} // namespace kelvara
