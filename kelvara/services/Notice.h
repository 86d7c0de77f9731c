// The connection notice: a small window telling the user what the library is
// trying while it looks for a reader. The caller may route it to a handler of
// its own (KelvaraSetNoticeHandler); otherwise the platform shows it (Linux:
// nowhere).
#pragma once

#include <string_view>

namespace kelvara {

namespace notice {
inline constexpr int kShow = 0;
inline constexpr int kSetText = 1;
inline constexpr int kHide = 2;
} // namespace notice

using NoticeHandler = void (*)(void *ctx, int op, const char *text);

// Installs (or, with a null handler, removes) the caller's handler.
void SetNoticeHandler(NoticeHandler handler, void *ctx);

// The three operations of the notice; texts are UTF-8. The handler receives
// an empty text for show and hide.
void ShowNotice();
void SetNoticeText(std::string_view text);
void HideNotice();

// The platform's own notice, used when no handler is installed.
void PlatformNotice(int op, std::string_view text);

} // namespace kelvara
