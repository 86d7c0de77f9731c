// The two notices the library shows while it works: the connection notice
// (what the reader search is trying) and the progress notice a Java program
// drives. Each is a small modeless window on Windows; a caller may take
// either over with a handler of its own (KelvaraSetNoticeHandler,
// KelvaraSetProgressNoticeHandler), which on Linux is the only place they
// appear.
#pragma once

#include <string_view>

namespace kelvara {

namespace notice {
inline constexpr int kShow = 0;
inline constexpr int kSetText = 1;
inline constexpr int kHide = 2;
} // namespace notice

using NoticeHandler = void (*)(void *ctx, int op, const char *text);

// Installs (or, with a null handler, removes) the caller's handler of the
// connection notice and of the progress notice.
void SetNoticeHandler(NoticeHandler handler, void *ctx);
void SetProgressNoticeHandler(NoticeHandler handler, void *ctx);

// The connection notice as the reader search and the vendor adapters drive
// it (the process-wide notice object of kelvara/host): shown over the host's
// main window, its text set, hidden. Texts are UTF-8. A text set while the
// notice is hidden is kept for the next showing but reaches no window.
void ShowNotice();
void SetNoticeText(std::string_view text);
void HideNotice();

} // namespace kelvara
