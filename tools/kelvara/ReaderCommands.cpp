// Commands for the reader itself: connect, release, lock, exit, version.
#include "kelvara.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <cstdio>

namespace kelvara::tool {
namespace {

constexpr const char *kGroup = "Card reader";

bool NeedsReader(Session &session, const char *what)
{
    if (session.Offline()) {
        std::fprintf(stderr, "kelvara: %s needs a reader; --image works on a card image\n", what);
        return false;
    }
    return session.Pages() != nullptr;
}

// The tool's version always; the reader's when one is there to ask. Behind
// a card image there is no reader, which is no failure: the tool's version
// is the answer.
int Version(Session &session)
{
    char text[256] = "";
    if (!session.Offline()) {
        if (session.Pages() == nullptr)
            return kFailed; // it said why
        TS_GetVersion(text);
        if (text[0] == '\0') {
            std::fprintf(stderr, "kelvara: version: the %s gives no version text (only the USB reader does)\n",
                         DescribeReader().c_str());
            return kFailed;
        }
    }
    if (session.options().json) {
        nlohmann::json doc{{"tool", ToolVersion()}, {"reader", nullptr}};
        if (text[0] != '\0')
            doc["reader"] = text;
        session.PrintJson(doc);
    } else if (text[0] != '\0') {
        std::printf("%s\n", text);
    } else {
        std::printf("kelvara %s (no reader behind a card image)\n", ToolVersion());
    }
    return kOk;
}

int Check(Session &session)
{
    if (session.Card().Check() == 0)
        return kOk;
    std::string why;
    if (!session.Offline())
        why = NoReaderReason(); // asking again would wait for the reader again
    else if (session.Card().Open(why))
        why = "the card image cannot be read";
    std::fprintf(stderr, "kelvara: check: %s\n", why.c_str());
    return kFailed;
}

} // namespace

void AddReaderCommands(CLI::App &app, Step &step)
{
    app.add_subcommand("check", "find the reader and wait for a card (with --image: open the image)")
        ->group(kGroup)
        ->callback([&step] { step = Check; });
    app.add_subcommand("release", "end the connection")->group(kGroup)->callback([&step] {
        step = [](Session &s) {
            if (!s.Offline())
                TS_ReleaseKelvara();
            return kOk;
        };
    });
    app.add_subcommand("lock", "send the reader's lock command")->group(kGroup)->callback([&step] {
        step = [](Session &s) { return NeedsReader(s, "lock") && TS_IcCardLock() == 1 ? kOk : kFailed; };
    });
    app.add_subcommand("exit", "send the reader's exit command")->group(kGroup)->callback([&step] {
        step = [](Session &s) { return NeedsReader(s, "exit") && TS_IcCardExit() == 1 ? kOk : kFailed; };
    });
    app.add_subcommand("version", "the reader's version text (USB reader only; --json adds the tool's)")
        ->group(kGroup)
        ->callback([&step] { step = Version; });
}

} // namespace kelvara::tool
