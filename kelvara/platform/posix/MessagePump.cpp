// Linux has no thread message queue: nothing to dispatch.
#include "kelvara/frame/MessagePump.h"

namespace kelvara {

void PumpMessages() {}

} // namespace kelvara
