// The module handle of Kelvara.dll itself (of the program, when the core is
// linked into one), where the dialog resources live.
#pragma once

#include "common/win32/WindowsHeaders.h"

namespace kelvara {

HMODULE LibraryModule();

} // namespace kelvara
