// The settings dialog as a terminal conversation.
#include "tools/kelvara/SettingsEdit.h"

#include "kelvara.h"

#include <cctype>
#include <cstdlib>
#include <string>

namespace kelvara::tool {
namespace {

struct Terminal {
    std::FILE *in;
    std::FILE *out;
    bool ended = false;
    bool stored = false;

    // One line of input without its line break; false at the end of input.
    bool Line(std::string &line)
    {
        line.clear();
        for (int c; (c = std::fgetc(in)) != EOF;) {
            if (c == '\n')
                return true;
            if (c != '\r')
                line.push_back(char(c));
        }
        ended = true;
        return !line.empty();
    }
};

void ShowList(Terminal &t, const char *title, const char *const *items, int count, int selected, bool enabled)
{
    std::fprintf(t.out, "%s%s\n", title, enabled ? "" : " (disabled)");
    for (int i = 0; i < count; ++i)
        std::fprintf(t.out, "  %c %d %s\n", i == selected ? '*' : ' ', i, items[i]);
}

const char *Item(const char *const *items, int count, int index)
{
    return index >= 0 && index < count ? items[index] : "(none)";
}

// Asks for an index into a list; Enter keeps the selection. False when the
// input ended.
bool Choose(Terminal &t, const char *what, const char *const *items, int count, int &selection)
{
    for (;;) {
        std::fprintf(t.out, "%s [0-%d, Enter keeps %s]: ", what, count - 1, Item(items, count, selection));
        std::fflush(t.out);
        std::string line;
        if (!t.Line(line))
            return false;
        if (line.empty())
            return true;
        char *end = nullptr;
        const long v = std::strtol(line.c_str(), &end, 10);
        if (*end == '\0' && v >= 0 && v < count) {
            selection = int(v);
            return true;
        }
        std::fprintf(t.out, "  no such item\n");
    }
}

int Dialog(void *ctx, KelvaraSettingsDialog *d)
{
    Terminal &t = *static_cast<Terminal *>(ctx);
    std::fprintf(t.out, "设置读卡器接口 (reader settings)\n");
    ShowList(t, "读卡器 (reader):", d->readerItems, d->readerCount, d->reader, true);
    ShowList(t, "最大速率(bps) (highest speed):", d->speedItems, d->speedCount, d->speed, d->listsEnabled != 0);
    ShowList(t, "端口 (port):", d->portItems, d->portCount, d->port, d->listsEnabled != 0);

    if (!Choose(t, "reader", d->readerItems, d->readerCount, d->reader))
        return 2;
    // Choosing on the terminal is the reader list closing up.
    d->readerListClosedUp(d);
    if (d->listsEnabled != 0) {
        if (!Choose(t, "highest speed", d->speedItems, d->speedCount, d->speed) ||
            !Choose(t, "port", d->portItems, d->portCount, d->port))
            return 2;
    } else {
        std::fprintf(t.out, "speed and port lists disabled for the USB reader (kept: %s, %s)\n",
                     Item(d->speedItems, d->speedCount, d->speed), Item(d->portItems, d->portCount, d->port));
    }
    for (;;) {
        std::fprintf(t.out, "%s, %s bps, %s: [o]k or [c]ancel? ", Item(d->readerItems, d->readerCount, d->reader),
                     Item(d->speedItems, d->speedCount, d->speed), Item(d->portItems, d->portCount, d->port));
        std::fflush(t.out);
        std::string line;
        if (!t.Line(line))
            return 2;
        const char c = line.empty() ? 'o' : char(std::tolower(static_cast<unsigned char>(line[0])));
        if (c == 'o') {
            t.stored = true;
            return 1;
        }
        if (c == 'c')
            return 2;
    }
}

} // namespace

int EditSettings(std::FILE *in, std::FILE *out)
{
    Terminal terminal{in, out};
    KelvaraSetSettingsDialogHandler(&Dialog, &terminal);
    TS_SetPortSpeed(0);
    KelvaraSetSettingsDialogHandler(nullptr, nullptr);
    std::fprintf(out, "%s\n", terminal.stored ? "stored" : "cancelled: nothing stored");
    return 0;
}

} // namespace kelvara::tool
