// Translation of the line settings into a termios structure (Linux).
#pragma once

#include "sampora/Settings.h"

#include <termios.h>

namespace sampora {

// Puts `tio` into binary transfer (no line editing, echo, translation or
// signals; reads that return at once) and sets speed, data bits, parity and
// stop bits. A speed or byte size termios cannot express leaves those four
// as they were, as Windows leaves the line when it rejects a setting; false
// then.
bool SetLineSettings(termios &tio, const LineSettings &line);

} // namespace sampora
