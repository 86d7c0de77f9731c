// The message pump run during long waits so the caller's windows stay
// painted: removes, translates and dispatches every message waiting for the
// calling thread. Returns at once when none is waiting (always on Linux).
#pragma once

namespace kelvara {

void PumpMessages();

} // namespace kelvara
