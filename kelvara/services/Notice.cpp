// The notices' windows with the caller's handlers in front of the platform:
// a notice whose handler is installed when it is shown lives in that
// handler until it is hidden; its owner window is always the platform's.
#include "kelvara/services/Notice.h"

#include "kelvara/services/NoticeWindow.h"

#include <string>

namespace kelvara {
namespace {

struct HandlerSlot {
    NoticeHandler handler = nullptr;
    void *ctx = nullptr;
    // The handle a notice shown through this handler carries; its address
    // tells the slot's windows apart from real ones.
    char token = 0;

    void Call(int op, std::string_view text)
    {
        if (handler == nullptr)
            return;
        const std::string copy(text);
        handler(ctx, op, copy.c_str());
    }
};

HandlerSlot g_connection;
HandlerSlot g_progress;

HandlerSlot *SlotOf(WindowHandle window)
{
    if (window == &g_connection.token)
        return &g_connection;
    if (window == &g_progress.token)
        return &g_progress;
    return nullptr;
}

class RoutedNoticeWindows final : public NoticeWindows {
public:
    WindowHandle FindOwner(WindowHandle parent) override { return PlatformNoticeWindows().FindOwner(parent); }
    bool IsEnabled(WindowHandle window) override { return PlatformNoticeWindows().IsEnabled(window); }
    void Enable(WindowHandle window, bool enable) override { PlatformNoticeWindows().Enable(window, enable); }

    WindowHandle Create(NoticeKind kind, WindowHandle owner) override
    {
        HandlerSlot &slot = kind == NoticeKind::Connection ? g_connection : g_progress;
        if (slot.handler == nullptr)
            return PlatformNoticeWindows().Create(kind, owner);
        slot.Call(notice::kShow, {});
        return &slot.token;
    }

    void SetText(WindowHandle window, std::string_view utf8) override
    {
        if (HandlerSlot *slot = SlotOf(window))
            slot->Call(notice::kSetText, utf8);
        else
            PlatformNoticeWindows().SetText(window, utf8);
    }

    bool Destroy(WindowHandle window) override
    {
        if (HandlerSlot *slot = SlotOf(window)) {
            slot->Call(notice::kHide, {});
            return true;
        }
        return PlatformNoticeWindows().Destroy(window);
    }
};

void Install(HandlerSlot &slot, NoticeHandler handler, void *ctx)
{
    slot.handler = handler;
    slot.ctx = handler != nullptr ? ctx : nullptr;
}

} // namespace

NoticeWindows &SystemNoticeWindows()
{
    // Never destroyed: the notices still shown when the library is unloaded
    // are taken down by destructors that may run after this one would.
    static RoutedNoticeWindows *windows = new RoutedNoticeWindows();
    return *windows;
}

void SetNoticeHandler(NoticeHandler handler, void *ctx) { Install(g_connection, handler, ctx); }
void SetProgressNoticeHandler(NoticeHandler handler, void *ctx) { Install(g_progress, handler, ctx); }

} // namespace kelvara
