// The Windows message box: MessageBoxW with the library's UTF-8 texts
// converted, no owner window, the caller's MB_ flags as they are.
#include "kelvara/services/MessageBox.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/platform/win32/WideText.h"

namespace kelvara {

int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    const std::wstring t = Widen(text, CP_UTF8);
    const std::wstring c = Widen(caption, CP_UTF8);
    return ::MessageBoxW(nullptr, t.c_str(), c.c_str(), type);
}

} // namespace kelvara
