// The notices' windows with the caller's handlers in front of the platform:
// a notice whose handler is installed when it is shown lives in that
// handler until it is hidden; its owner window is always the platform's.
#include "kelvara/ui/NoticeWindows.h"

#include "kelvara/services/HandlerSlot.h"

#include <string>

namespace kelvara {
namespace {

// One notice's handler (set from any thread, taken as one pair with its
// context) and the handle a notice shown through it carries; the handle's
// address tells the slot's windows apart from real ones.
struct NoticeSlot {
    HandlerSlot<NoticeHandler> handler;
    char token = 0;

    bool Installed() const { return handler.Get().handler != nullptr; }

    void Call(int op, std::string_view text)
    {
        const auto routed = handler.Get();
        if (routed.handler == nullptr)
            return;
        const std::string copy(text);
        routed.handler(routed.context, op, copy.c_str());
    }
};

NoticeSlot g_connection;
NoticeSlot g_progress;

NoticeSlot *SlotOf(WindowHandle window)
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
        NoticeSlot &slot = kind == NoticeKind::Connection ? g_connection : g_progress;
        if (!slot.Installed())
            return PlatformNoticeWindows().Create(kind, owner);
        slot.Call(notice::kShow, {});
        return &slot.token;
    }

    void SetText(WindowHandle window, std::string_view utf8) override
    {
        if (NoticeSlot *slot = SlotOf(window))
            slot->Call(notice::kSetText, utf8);
        else
            PlatformNoticeWindows().SetText(window, utf8);
    }

    bool Destroy(WindowHandle window) override
    {
        if (NoticeSlot *slot = SlotOf(window)) {
            slot->Call(notice::kHide, {});
            return true;
        }
        return PlatformNoticeWindows().Destroy(window);
    }
};

} // namespace

NoticeWindows &SystemNoticeWindows()
{
    // Never destroyed: the notices still shown when the library is unloaded
    // are taken down by destructors that may run after this one would.
    static RoutedNoticeWindows *windows = new RoutedNoticeWindows();
    return *windows;
}

void SetNoticeHandler(NoticeHandler handler, void *ctx) { g_connection.handler.Set(handler, ctx); }
void SetProgressNoticeHandler(NoticeHandler handler, void *ctx) { g_progress.handler.Set(handler, ctx); }

} // namespace kelvara
