// The Windows message box: MessageBoxW with the library's UTF-8 texts
// converted, no owner window, the caller's MB_ flags as they are; and the
// conversion of code-page text (from the card or the caller) to UTF-8.
#include "kelvara/services/MessageBox.h"

#include "kelvara/platform/win32/WindowsHeaders.h"

#include <string>

namespace kelvara {
namespace {

std::wstring Widen(std::string_view text, UINT codePage)
{
    if (text.empty()) {
        return {};
    }
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(std::size_t(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

} // namespace

int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    const std::wstring t = Widen(text, CP_UTF8);
    const std::wstring c = Widen(caption, CP_UTF8);
    return ::MessageBoxW(nullptr, t.c_str(), c.c_str(), type);
}

std::string SystemTextAsUtf8(std::string_view text)
{
    const std::wstring wide = Widen(text, CP_ACP);
    if (wide.empty()) {
        return {};
    }
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(std::size_t(length > 0 ? length : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), length, nullptr, nullptr);
    return utf8;
}

} // namespace kelvara
