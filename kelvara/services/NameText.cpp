// Character-boundary searches over 8-bit names.
#include "kelvara/services/NameText.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"

namespace kelvara::name_text {

std::size_t Find(std::string_view text, std::string_view what, std::size_t from)
{
    for (std::size_t pos = 0; pos < text.size(); pos += CharLengthAt(text, pos)) {
        if (pos >= from && text.substr(pos, what.size()) == what)
            return pos;
    }
    return npos;
}

std::size_t FindFirstOf(std::string_view text, std::string_view chars)
{
    for (std::size_t pos = 0; pos < text.size(); pos += CharLengthAt(text, pos)) {
        if (CharLengthAt(text, pos) == 1 && chars.find(text[pos]) != std::string_view::npos)
            return pos;
    }
    return npos;
}

std::size_t FindLastOf(std::string_view text, std::string_view chars)
{
    std::size_t last = npos;
    for (std::size_t pos = 0; pos < text.size(); pos += CharLengthAt(text, pos)) {
        if (CharLengthAt(text, pos) == 1 && chars.find(text[pos]) != std::string_view::npos)
            last = pos;
    }
    return last;
}

bool EndsWith(std::string_view text, char ch)
{
    const std::size_t last = FindLastOf(text, std::string_view(&ch, 1));
    return last != npos && last + 1 == text.size();
}

} // namespace kelvara::name_text
