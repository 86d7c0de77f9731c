// On Linux the host's text is UTF-8 already.
#include "kelvara/services/CodePageText.h"

namespace kelvara {

std::string CodePageFromUtf8(const std::string &utf8) { return utf8; }
std::string Utf8FromCodePage(std::string_view text) { return std::string(text); }

} // namespace kelvara
