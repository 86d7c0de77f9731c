// Routes every message box to the caller's handler or to the platform box.
#include "kelvara/services/MessageBox.h"

#include <string>

namespace kelvara {
namespace {

MessageBoxHandler g_handler = nullptr;
void *g_handlerContext = nullptr;

class RoutedMessageBox final : public MessageBoxService {
public:
    int Show(std::string_view text, std::string_view caption, unsigned type) override
    {
        if (g_handler != nullptr) {
            const std::string t(text);
            const std::string c(caption);
            return g_handler(g_handlerContext, t.c_str(), c.c_str(), type);
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

void SetMessageBoxHandler(MessageBoxHandler handler, void *ctx)
{
    g_handler = handler;
    g_handlerContext = handler != nullptr ? ctx : nullptr;
}

} // namespace kelvara
