// Both notices on one status line.
#include "tools/kelvara/StatusLine.h"

#include "kelvara.h"
#include "tools/kelvara/LibraryPrompts.h"

#include <unistd.h>

#include <cstdio>

namespace kelvara::tool {

void StatusLine::Apply(Notice notice, int op, const char *text)
{
    Slot &slot = slots_[notice];
    switch (op) {
    case 0:
        slot.shown = true;
        slot.text.clear();
        break;
    case 1:
        slot.text = text != nullptr ? text : "";
        break;
    case 2:
        slot.shown = false;
        slot.text.clear();
        break;
    default:
        break;
    }
}

std::string StatusLine::Text() const
{
    std::string line;
    for (const Slot &slot : slots_) {
        if (!slot.shown || slot.text.empty())
            continue;
        if (!line.empty())
            line += " | ";
        for (char c : slot.text)
            line += c == '\r' || c == '\n' ? ' ' : c;
    }
    // "\r\n" became two spaces; one is enough.
    for (std::size_t at; (at = line.find("  ")) != std::string::npos;)
        line.erase(at, 1);
    return line;
}

namespace {

StatusLine g_line;

void Draw(StatusLine::Notice notice, int op, const char *text)
{
    const std::string explained = text != nullptr ? Explained(text) : std::string();
    g_line.Apply(notice, op, text != nullptr ? explained.c_str() : nullptr);
    if (!::isatty(2))
        return; // a status line only makes sense on a terminal
    std::fprintf(stderr, "\r\033[K%s", g_line.Text().c_str());
    std::fflush(stderr);
}

} // namespace

void InstallStatusLine()
{
    KelvaraSetNoticeHandler([](void *, int op, const char *text) { Draw(StatusLine::kConnection, op, text); }, nullptr);
    KelvaraSetProgressNoticeHandler([](void *, int op, const char *text) { Draw(StatusLine::kProgress, op, text); },
                                    nullptr);
}

} // namespace kelvara::tool
