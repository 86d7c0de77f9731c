// The case rules of names on Windows: double-byte aware in the system code
// page, as _mbslwr and _mbsicmp see it.
#include "kelvara/services/NameCase.h"

#include "common/win32/WindowsHeaders.h"

#include <mbstring.h>

#include <vector>

namespace kelvara {

std::string LowerText(std::string_view text)
{
    std::vector<unsigned char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    ::_mbslwr(buffer.data());
    return std::string(reinterpret_cast<const char *>(buffer.data()), text.size());
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    const std::string x(a), y(b);
    return ::_mbsicmp(reinterpret_cast<const unsigned char *>(x.c_str()),
                      reinterpret_cast<const unsigned char *>(y.c_str())) == 0;
}

std::size_t CharLengthAt(std::string_view text, std::size_t pos)
{
    return pos + 1 < text.size() && ::IsDBCSLeadByte(static_cast<BYTE>(text[pos])) ? 2 : 1;
}

} // namespace kelvara
