// The Windows message box: MessageBoxW with the library's UTF-8 texts
// converted, no owner window, the caller's MB_ flags as they are.
#include "kelvara/services/MessageBox.h"

#include "kelvara/platform/win32/WindowsHeaders.h"

#include <string>

namespace kelvara {
namespace {

std::wstring Widen(std::string_view utf8)
{
    if (utf8.empty()) {
        return {};
    }
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(std::size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
    return wide;
}

} // namespace

int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    const std::wstring t = Widen(text);
    const std::wstring c = Widen(caption);
    return ::MessageBoxW(nullptr, t.c_str(), c.c_str(), type);
}

} // namespace kelvara
