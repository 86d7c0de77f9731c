// Message boxes: the constants of the Windows MB_/ID values every handler
// speaks, and the service through which the library asks the user.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

namespace mb {
inline constexpr unsigned kOk = 0x0;
inline constexpr unsigned kOkCancel = 0x1;
inline constexpr unsigned kRetryCancel = 0x5;
inline constexpr unsigned kIconError = 0x10;
inline constexpr unsigned kIconQuestion = 0x20;
inline constexpr unsigned kIconInformation = 0x40;
inline constexpr unsigned kSystemModal = 0x1000;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;
} // namespace mb

// The title of every box the library shows ("notice").
inline constexpr std::string_view kNoticeTitle = "提示";

class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    // Shows a modal box with no owner window; texts are UTF-8 (the Windows
    // build converts them). Returns the button that closed it (mb::kId...).
    virtual int Show(std::string_view text, std::string_view caption, unsigned type) = 0;
};

// The process-wide service: the handler installed through
// KelvaraSetMessageBoxHandler when there is one, else the platform's box.
MessageBoxService &SystemMessageBox();

// Installs (or, with a null handler, removes) the caller's handler.
using MessageBoxHandler = int (*)(void *ctx, const char *text, const char *caption, unsigned int type);
void SetMessageBoxHandler(MessageBoxHandler handler, void *ctx);

// The platform's own box, used when no handler is installed.
int ShowPlatformMessageBox(std::string_view text, std::string_view caption, unsigned type);

// Text from the card or the caller, in the system code page, as UTF-8 for a
// message box (the library's own texts are UTF-8 already). Unchanged on
// Linux, whose 8-bit texts are UTF-8.
std::string SystemTextAsUtf8(std::string_view text);

} // namespace kelvara
