// The Windows connection notice. The notice window itself belongs to the
// host folder (NoticeDialog); until it is attached here the notice shows
// nothing unless the caller installs a handler.
#include "kelvara/services/Notice.h"

namespace kelvara {

void PlatformNotice(int, std::string_view) {}

} // namespace kelvara
