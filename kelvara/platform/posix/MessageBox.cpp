// The Linux message box: there is no desktop to ask, so the text goes to
// stderr and the box answers at once — OK for an OK-only box, Cancel for any
// box that offers a choice, so no retry loop waits for nobody.
#include "kelvara/services/MessageBox.h"

#include <cstdio>

namespace kelvara {

int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type)
{
    std::fprintf(stderr, "[%.*s] %.*s\n", int(caption.size()), caption.data(), int(text.size()), text.data());
    std::fflush(stderr);
    return (type & 0xFu) == mb::kOk ? mb::kIdOk : mb::kIdCancel;
}

std::string SystemTextAsUtf8(std::string_view text) { return std::string(text); }

} // namespace kelvara
