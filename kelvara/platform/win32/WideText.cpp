// Code-page conversions through MultiByteToWideChar and WideCharToMultiByte.
#include "kelvara/platform/win32/WideText.h"

#include "common/win32/WindowsHeaders.h"

namespace kelvara {

std::wstring Widen(std::string_view text, unsigned codePage)
{
    if (text.empty())
        return {};
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(std::size_t(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(std::wstring_view text, unsigned codePage)
{
    if (text.empty())
        return {};
    const int length = ::WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string narrow(std::size_t(length), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), int(text.size()), narrow.data(), length, nullptr, nullptr);
    return narrow;
}

} // namespace kelvara
