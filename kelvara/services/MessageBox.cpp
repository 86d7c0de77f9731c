// Routes every message box to the caller's handler or to the platform box.
#include "kelvara/services/MessageBox.h"

#include "kelvara/services/HandlerSlot.h"

#include <string>

namespace kelvara {
namespace {

HandlerSlot<MessageBoxHandler> g_handler;

class RoutedMessageBox final : public MessageBoxService {
public:
    int Show(std::string_view text, std::string_view caption, unsigned type) override
    {
        if (const auto routed = g_handler.Get(); routed.handler != nullptr) {
            const std::string t(text);
            const std::string c(caption);
            return routed.handler(routed.context, t.c_str(), c.c_str(), type);
        }
        return ShowPlatformMessageBox(text, caption, type);
    }
};

} // namespace

MessageBoxService &SystemMessageBox()
{
    static RoutedMessageBox box;
    return box;
}

void SetMessageBoxHandler(MessageBoxHandler handler, void *ctx) { g_handler.Set(handler, ctx); }

} // namespace kelvara
