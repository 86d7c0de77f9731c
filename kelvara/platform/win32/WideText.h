// Conversions between 8-bit texts and the UTF-16 of the wide Windows calls.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// `text` in code page `codePage` (CP_UTF8, CP_ACP) as UTF-16; empty when it
// cannot be converted.
std::wstring Widen(std::string_view text, unsigned codePage);
// UTF-16 as 8-bit text of `codePage`; empty when it cannot be converted.
std::string Narrow(std::wstring_view text, unsigned codePage);

} // namespace kelvara
