// Linux shows no notice window unless the caller installs a handler.
#include "kelvara/services/Notice.h"

namespace kelvara {

void PlatformNotice(int, std::string_view) {}

} // namespace kelvara
