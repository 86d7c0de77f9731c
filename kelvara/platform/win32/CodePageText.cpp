// The host's text on Windows is the system ANSI code page.
#include "kelvara/services/CodePageText.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/platform/win32/WideText.h"

#include <vector>

namespace kelvara {

std::string CodePageFromUtf8(const std::string &utf8)
{
    // Up to the first zero byte, as the text reaches the library from Java;
    // the count asked for includes the terminator.
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (units <= 0)
        return utf8;
    std::vector<wchar_t> wide(std::size_t(units) + 1, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
    return Narrow(std::wstring_view(wide.data()), CP_ACP);
}

std::string Utf8FromCodePage(std::string_view text) { return Narrow(Widen(text, CP_ACP), CP_UTF8); }

} // namespace kelvara
