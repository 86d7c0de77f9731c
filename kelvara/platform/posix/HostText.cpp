// On Linux the host's text is UTF-8 already.
#include "kelvara/services/HostText.h"

namespace kelvara {

std::string HostTextFromUtf8(const std::string &utf8) { return utf8; }
std::string Utf8FromHostText(std::string_view text) { return std::string(text); }

} // namespace kelvara
