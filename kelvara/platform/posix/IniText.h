// The text of the Linux settings file, pure: an INI text in, values or a new
// text out, no file access. Settings.cpp reads and replaces the file around it.
//
// Lines end at '\n' (a '\r' before it belongs to the line ending); a line
// "[name]" opens a section; "Name=value" lines hold values, the name trimmed
// of blanks, the value raw; lines starting with ';' or '#' are comments.
// Section and value names ignore ASCII case.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvara::ini {

// The value of the first `name` line in the first section named `section`
// that holds one; nullopt when there is none.
std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view name);

// The text with `name` set to `value` in `section`: the first such line
// replaced, or a new line after the section's last one, or a new section at
// the end. Every line of the result ends in '\n'. Nullopt, and nothing
// stored, when the pair would not read back as written: an empty name, one
// with blanks around it, a '=' or a line break in it, or starting like a
// comment or a section; a value with a line break or ending in '\r'.
std::optional<std::string> Store(std::string_view text, std::string_view section, std::string_view name,
                                 std::string_view value);

// A stored integer: decimal, blanks around it allowed, wrapped to 32 bits as
// a registry number would be; nullopt for anything else.
std::optional<int> ParseInt(std::string_view value);

} // namespace kelvara::ini
