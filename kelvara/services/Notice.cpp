// Routes the connection notice to the caller's handler or the platform.
#include "kelvara/services/Notice.h"

#include <string>

namespace kelvara {
namespace {

NoticeHandler g_handler = nullptr;
void *g_handlerContext = nullptr;

void Route(int op, std::string_view text)
{
    if (g_handler != nullptr) {
        const std::string copy(text);
        g_handler(g_handlerContext, op, copy.c_str());
        return;
    }
    PlatformNotice(op, text);
}

} // namespace

void SetNoticeHandler(NoticeHandler handler, void *ctx)
{
    g_handler = handler;
    g_handlerContext = handler != nullptr ? ctx : nullptr;
}

void ShowNotice() { Route(notice::kShow, {}); }
void SetNoticeText(std::string_view text) { Route(notice::kSetText, text); }
void HideNotice() { Route(notice::kHide, {}); }

} // namespace kelvara
