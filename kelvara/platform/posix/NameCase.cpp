// The case rules of names on Linux: ASCII letters only.
#include "kelvara/services/NameCase.h"

#include <algorithm>

namespace kelvara {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::string LowerText(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), LowerAscii);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
        std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

std::size_t CharLengthAt(std::string_view, std::size_t)
{
    return 1; // UTF-8 continuation bytes never equal an ASCII character
}

} // namespace kelvara
