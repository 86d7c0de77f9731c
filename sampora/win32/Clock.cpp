// The exchange clock on Windows: GetTickCount, which every Windows the DLL
// supports has (GetTickCount64 needs Vista), and which libstdc++'s
// steady_clock of the win32 thread model is not: that one follows the wall
// clock.
#include "sampora/Clock.h"

#include "sampora/win32/WindowsApi.h"

namespace sampora {

std::uint32_t ClockMs() { return ::GetTickCount(); }

} // namespace sampora
