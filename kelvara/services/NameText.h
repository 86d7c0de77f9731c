// Searches in 8-bit card paths, local paths and names that respect double-byte
// characters: a match starts only at a character boundary, so the trail byte
// of a double-byte character (which may be 0x5C, '\') is never taken for a
// path separator.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvara::name_text {

inline constexpr std::size_t npos = std::string_view::npos;

// The first occurrence of `what` starting at or after byte `from`.
std::size_t Find(std::string_view text, std::string_view what, std::size_t from = 0);
// The first and last character that is one of the single-byte `chars`.
std::size_t FindFirstOf(std::string_view text, std::string_view chars);
std::size_t FindLastOf(std::string_view text, std::string_view chars);
bool EndsWith(std::string_view text, char ch);

} // namespace kelvara::name_text
