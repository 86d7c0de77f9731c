// The Windows message pump: every message waiting for this thread, any
// window, removed, translated and dispatched.
#include "kelvara/services/MessagePump.h"

#include "common/win32/WindowsHeaders.h"

namespace kelvara {

void PumpMessages()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

} // namespace kelvara
