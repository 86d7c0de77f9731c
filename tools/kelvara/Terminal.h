// The user's side of the library on a terminal: message boxes become
// questions on stderr answered from stdin (the notices go to StatusLine).
// Without a terminal (or with --batch) every question is cancelled, so
// nothing waits for nobody.
#pragma once

#include "kelvara/services/MessageBox.h"

namespace kelvara::tool {

void SetInteractive(bool interactive);

// The handlers installed into libkelvara.
int AskOnTerminal(void *ctx, const char *text, const char *caption, unsigned type);

// The same questions for the card file system linked into the tool (card images).
class TerminalMessageBox final : public MessageBoxService {
public:
    int Show(std::string_view text, std::string_view caption, unsigned type) override;
};

} // namespace kelvara::tool
