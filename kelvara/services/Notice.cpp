// Routes the connection notice to the caller's handler or the platform.
#include "kelvara/services/Notice.h"

#include "kelvara/services/HandlerSlot.h"

#include <string>

namespace kelvara {
namespace {

HandlerSlot<NoticeHandler> g_handler;

void Route(int op, std::string_view text)
{
    if (const auto routed = g_handler.Get(); routed.handler != nullptr) {
        const std::string copy(text);
        routed.handler(routed.context, op, copy.c_str());
        return;
    }
    PlatformNotice(op, text);
}

} // namespace

void SetNoticeHandler(NoticeHandler handler, void *ctx) { g_handler.Set(handler, ctx); }

void ShowNotice() { Route(notice::kShow, {}); }
void SetNoticeText(std::string_view text) { Route(notice::kSetText, text); }
void HideNotice() { Route(notice::kHide, {}); }

} // namespace kelvara
