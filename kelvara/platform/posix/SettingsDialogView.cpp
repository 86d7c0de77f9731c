// Linux has no dialog window; the settings are edited through a handler
// (the kelvara tool's "settings edit") or in the settings file.
#include "kelvara/ui/SettingsDialogView.h"

namespace kelvara {

int RunPlatformSettingsDialog(SettingsDialogModel &, WindowHandle) { return 0; }

} // namespace kelvara
