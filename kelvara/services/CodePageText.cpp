// The parts of the code-page text service that do not depend on the OS.
#include "kelvara/services/CodePageText.h"

#include "kelvara/services/Utf8Text.h"

namespace kelvara {
namespace {

// A surrogate as modified UTF-8 writes it, one three-byte form each.
bool IsEncodedSurrogate(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    return text.size() - at >= 3 && byte(0) == 0xED && byte(1) >= 0xA0 && byte(1) <= 0xBF && (byte(2) & 0xC0) == 0x80;
}

bool IsModifiedUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = utf8::CharacterAt(text, at, c);
        if (length > 0 && length < 4 && c != 0) {
            at += length;
        } else if (text.substr(at, 2) == "\xC0\x80" || IsEncodedSurrogate(text, at)) {
            at += text[at] == '\xC0' ? 2 : 3;
        } else {
            return false;
        }
    }
    return true;
}

bool IsUtf8(std::string_view text)
{
    char32_t c = 0;
    for (std::size_t at = 0, length = 0; at < text.size(); at += length) {
        if ((length = utf8::CharacterAt(text, at, c)) == 0)
            return false;
    }
    return true;
}

void AppendThreeBytes(std::string &out, char32_t c)
{
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
}

} // namespace

std::string JavaTextFrom(std::string_view text)
{
    if (IsModifiedUtf8(text))
        return std::string(text);
    std::string utf8 = IsUtf8(text) ? std::string(text) : Utf8FromCodePage(text);
    if (utf8.empty())
        utf8 = text;
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = 0;
        const std::size_t length = utf8::CharacterAt(utf8, at, c);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD, one per stray byte
            at += 1;
            continue;
        }
        if (c == 0) {
            out += "\xC0\x80";
        } else if (c > 0xFFFF) {
            AppendThreeBytes(out, 0xD800 + ((c - 0x10000) >> 10));
            AppendThreeBytes(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out.append(utf8, at, length);
        }
        at += length;
    }
    return out;
}

} // namespace kelvara
