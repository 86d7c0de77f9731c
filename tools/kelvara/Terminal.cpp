// Prompts and the notice on the terminal.
#include "tools/kelvara/Terminal.h"

#include "tools/common/Messages.h"
#include "tools/kelvara/LibraryPrompts.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace kelvara::tool {
namespace {

bool g_interactive = false;

} // namespace

void SetInteractive(bool interactive) { g_interactive = interactive; }

int AskOnTerminal(void *, const char *text, const char *caption, unsigned type)
{
    const unsigned buttons = type & 0xF;
    // On a terminal the question replaces the status line; in a pipe or a
    // file the line stays clean of escape codes.
    const std::string shown = Explained(text != nullptr ? text : "");
    std::fprintf(stderr, "%s[%s] %s\n", ::isatty(2) ? "\r\033[K" : "", caption != nullptr ? caption : "",
                 shown.c_str());
    if (buttons == mb::kOk)
        return mb::kIdOk;
    if (!g_interactive) {
        std::fprintf(stderr, "%s", _("  (no terminal: cancelled)\n"));
        return mb::kIdCancel;
    }
    const bool retry = buttons == mb::kRetryCancel;
    for (;;) {
        std::fprintf(stderr, "%s", retry ? _("  [r]etry or [c]ancel? ") : _("  [o]k or [c]ancel? "));
        char line[32] = "";
        if (std::fgets(line, sizeof line, stdin) == nullptr)
            return mb::kIdCancel;
        if (line[0] == 'c' || line[0] == 'C')
            return mb::kIdCancel;
        if (retry && (line[0] == 'r' || line[0] == 'R'))
            return mb::kIdRetry;
        if (!retry && (line[0] == 'o' || line[0] == 'O' || line[0] == '\n'))
            return mb::kIdOk;
    }
}

int TerminalMessageBox::Show(std::string_view text, std::string_view caption, unsigned type)
{
    return AskOnTerminal(nullptr, std::string(text).c_str(), std::string(caption).c_str(), type);
}

} // namespace kelvara::tool
