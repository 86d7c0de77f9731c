// The tool's status line: the library's connection notice and progress
// notice, each while it is shown, on one line of the terminal.
#pragma once

#include <string>

namespace kelvara::tool {

class StatusLine {
public:
    enum Notice { kConnection = 0, kProgress = 1 };

    // A notice operation as the library's handlers report it (op 0 show,
    // 1 set text, 2 hide).
    void Apply(Notice notice, int op, const char *text);
    // What the line shows now: the shown notices' texts, line breaks as
    // spaces, the connection notice first; empty when none is shown.
    std::string Text() const;

private:
    struct Slot {
        bool shown = false;
        std::string text;
    };
    Slot slots_[2];
};

// Routes both notices of the library to one status line on stderr (drawn
// only when stderr is a terminal).
void InstallStatusLine();

} // namespace kelvara::tool
