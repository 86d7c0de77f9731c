// Commands for the reader itself: connect, release, lock, exit, version.
#include "kelvara.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <optional>

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

// --wait without a number: as long as the library can count.
constexpr int kWaitForever = -1;
// The library's limit in milliseconds, in whole seconds.
constexpr int kMaxWaitSeconds = INT_MAX / 1000;

int WaitForCard(Session &session, int seconds)
{
    if (session.Offline()) {
        std::fprintf(stderr, "kelvara: check --wait needs a reader; --image works on a card image\n");
        return kFailed;
    }
    const int timeoutMs = seconds == kWaitForever ? kMaxWaitSeconds * 1000 : seconds * 1000;
    session.Log(
        1, "waiting for a card" + (seconds == kWaitForever ? std::string() : " for " + std::to_string(seconds) + " s"));
    const int r = KelvaraWaitForCard(timeoutMs);
    if (r == 1) {
        std::fprintf(stderr, "kelvara: check: no card in the %s within %d s\n", DescribeReader().c_str(), seconds);
        return kFailed;
    }
    if (r != 0) {
        std::fprintf(stderr, "kelvara: check: %s\n", NoReaderReason().c_str());
        return kFailed;
    }
    return kOk;
}

int Check(Session &session, const std::optional<int> &waitSeconds)
{
    if (waitSeconds) {
        if (const int r = WaitForCard(session, *waitSeconds); r != kOk)
            return r;
    }
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
    auto *check = app.add_subcommand("check", "find the reader and wait for a card (with --image: open the image)")
                      ->group(kGroup);
    auto wait = std::make_shared<std::optional<int>>();
    check
        ->add_option_function<int>(
            "--wait", [wait](const int &seconds) { *wait = seconds; },
            "wait up to SECONDS (none: without end) for a card, asking the reader every 200 ms and nothing "
            "of the user; exit 1 when none came")
        ->type_name("[SECONDS]")
        ->expected(0, 1)
        ->default_str(std::to_string(kWaitForever))
        ->check(CLI::Range(kWaitForever, kMaxWaitSeconds));
    check->callback([&step, wait] { step = [wait](Session &s) { return Check(s, *wait); }; });
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
