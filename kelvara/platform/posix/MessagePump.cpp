// Linux has no thread message queue: nothing to dispatch.
#include "kelvara/services/MessagePump.h"

namespace kelvara {

void PumpMessages() {}

} // namespace kelvara
