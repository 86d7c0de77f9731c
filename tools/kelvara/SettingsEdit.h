// "kelvara settings edit": the library's reader-settings dialog on the
// terminal. It runs TS_SetPortSpeed with a dialog handler that asks for the
// reader, then (unless the USB reader disables them) the highest speed and
// the port, and OK or Cancel; the library's dialog model decides what is
// enabled and what OK stores.
#pragma once

#include <cstdio>

namespace kelvara::tool {

// Reads the answers from `in` (end of input cancels) and writes the dialog
// to `out`. Returns 0 (also after Cancel).
int EditSettings(std::FILE *in, std::FILE *out);

} // namespace kelvara::tool
