// The Linux message box: there is no desktop to ask, so the text goes to
// stderr and the box answers at once — OK for an OK-only box, Cancel for any
// box that offers a choice, so no retry loop waits for nobody.
#include "kelvara/services/MessageBox.h"

#include "kelvara/services/Utf8Text.h"

#include <cstdio>
#include <string>

namespace kelvara {
namespace {

// Texts carry card names, and a terminal obeys the control characters in
// them (an escape sequence retitles or recolours it): every control
// character (C0, DEL and C1) and every byte that is no well-formed UTF-8 is
// printed as "\xHH"; the other characters, multibyte ones included, as they are.
std::string TerminalText(std::string_view text)
{
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = utf8::CharacterAt(text, at, c);
        if (length > 0 && c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F)) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        const std::size_t raw = length > 0 ? length : 1;
        for (std::size_t i = 0; i < raw; ++i) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[at + i]));
            out += escaped;
        }
        at += raw;
    }
    return out;
}

} // namespace

int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    const std::string shownText = TerminalText(text);
    const std::string shownCaption = TerminalText(caption);
    std::fprintf(stderr, "[%s] %s\n", shownCaption.c_str(), shownText.c_str());
    std::fflush(stderr);
    return (type & 0xFu) == mb::kOk ? mb::kIdOk : mb::kIdCancel;
}

} // namespace kelvara
