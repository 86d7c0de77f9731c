// kelvara: the Kelvara library from a terminal. Each command calls the
// library (or, with --image, the same card file system on a card image);
// several may be chained with "--" so they share one connection. Prompts are
// asked on the terminal (or cancelled when there is none), and the
// connection and progress notices show on a status line.
#include "kelvara.h"
#include "kelvara/services/ReaderOverrides.h"
#include "tools/common/CommandChain.h"
#include "tools/common/Messages.h"
#include "tools/kelvara/StatusLine.h"
#include "tools/kelvara/Terminal.h"
#include "tools/kelvara/Tool.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvara::tool {
namespace {

const char kDescription[] = "kelvara: the Kelvara card library from a terminal.\n"
                            "Commands may be chained with a lone \"--\" between them; they share one\n"
                            "connection, and the chain stops at the first command that does not succeed\n"
                            "(after fsck has repaired the card it goes on, and the run exits 1).";

const char kFooter[] = "Card paths keep their backslashes (quote them: '\\tax\\a.xml'); one without its leading\n"
                       "backslash is refused. Without a terminal, or with --batch, the library's questions are\n"
                       "cancelled. Every failure says why on stderr; a card path that matches nothing fails.\n"
                       "A card pattern is a path, DIR\\*.* (every file under DIR, deeper ones too), or a path\n"
                       "with * and ? in its file name (the files of that one directory).\n"
                       "\n"
                       "Environment:\n"
                       "  WQN_COMn          the device of COMn (e.g. WQN_COM1=/dev/ttyUSB0)\n"
                       "  KELVARA_SETTINGS  the settings file\n"
                       "  KELVARA_READER    the reader for this run, as --reader\n"
                       "  KELVARA_PORT      the serial reader's port for this run, as --port\n"
                       "  KELVARA_TRACE     write every frame to this file (kelvara trace FILE shows it)\n"
                       "  KELVARA_LOCALEDIR the message catalogues (LANGUAGE, LC_ALL: the language; the\n"
                       "                    library's Chinese prompts are explained beside them)\n"
                       "\n"
                       "Exit codes:\n"
                       "  0  done\n"
                       "  1  the operation failed or found nothing to do (fsck: damage was repaired)\n"
                       "  2  usage: a command or argument is wrong\n"
                       "  3  an output file could not be written\n"
                       "  4  fsck: damage found and left (added to 1 when some was repaired)\n"
                       "  8  fsck: the card could not be checked or mended as asked";

struct Parsed {
    Options options;
    Step step;
    std::string name;
};

std::unique_ptr<CLI::App> MakeParser(Options &options, Step &step)
{
    auto app = std::make_unique<CLI::App>(kDescription, "kelvara");
    app->set_version_flag("--version", std::string("kelvara ") + ToolVersion());
    // Subcommands inherit the short footer; the whole story is on the main help.
    app->footer("Exit codes: 0 done, 1 failed, 2 usage, 3 output file not written (kelvara --help).");
    app->require_subcommand(1, 1);
    app->fallthrough();
    app->add_flag("--batch", options.batch, "never ask: the library's questions are cancelled");
    app->add_flag("-v,--verbose", options.verbosity, "say what happens (-vv: more)");
    app->add_flag("--json", options.json, "print results as JSON, one document a line (docs/kelvara-json.md)");
    app->add_option("--image", options.image, "work on a card image file instead of the card in the reader")
        ->type_name("FILE");
    app->add_option("--reader", options.reader,
                    "use this reader for this run only, without editing the settings: serial, usb, gc481, mcs or "
                    "the PortMode number 0-3")
        ->type_name("MODE");
    app->add_option("--port", options.port,
                    "the serial reader's port for this run only (comN or a device path; implies --reader serial)")
        ->type_name("PATH");
    AddReaderCommands(*app, step);
    AddReaderListCommand(*app, step);
    AddFileCommands(*app, step);
    AddPageCommands(*app, step);
    AddCheckCommands(*app, step);
    AddTraceCommands(*app, step);
    AddSettingsCommands(*app, step);
    app->footer(kFooter);
    return app;
}

// Parses one command of the chain. Help and the version end the whole run
// with `exitNow` set.
int Parse(const std::vector<std::string> &words, Parsed &parsed, bool &exitNow)
{
    auto app = MakeParser(parsed.options, parsed.step);
    if (const std::optional<int> exit = wqn::tools::ParseCommand(*app, words, kUsage)) {
        exitNow = true;
        return *exit;
    }
    for (const CLI::App *sub : app->get_subcommands()) {
        parsed.name = sub->get_name();
        for (const CLI::App *inner : sub->get_subcommands())
            parsed.name += " " + inner->get_name();
    }
    if (!parsed.step) {
        std::fprintf(stderr, "%s", _("kelvara: no command (kelvara --help)\n"));
        return kUsage;
    }
    return kOk;
}

// Two commands of one chain giving different values of one option.
bool Clash(const std::string &mine, const std::string &theirs)
{
    return !mine.empty() && !theirs.empty() && mine != theirs;
}

// Hands --reader and --port to the library through its environment: they
// hold for this process only and the stored settings stay as they are.
int UseReaderForRun(const Options &options)
{
    if (options.reader.empty() && options.port.empty())
        return kOk;
    if (!options.image.empty()) {
        std::fprintf(stderr, "kelvara: --reader and --port choose a reader; --image works without one\n");
        return kUsage;
    }
    const int mode = options.reader.empty() ? ReaderModeByName("serial") : ReaderModeByName(options.reader);
    if (mode < 0) {
        std::fprintf(stderr, "kelvara: --reader: '%s' names no reader (serial, usb, gc481, mcs or 0-3)\n",
                     options.reader.c_str());
        return kUsage;
    }
    if (!options.port.empty() && mode != ReaderModeByName("serial")) {
        std::fprintf(stderr, "kelvara: --port names a port of the serial reader, not of the %s reader\n",
                     std::string(ReaderModeName(mode)).c_str());
        return kUsage;
    }
    const std::string name(ReaderModeName(mode));
#ifdef _WIN32
    // _putenv copies its text; the msvcrt.dll of old systems has no _putenv_s.
    const bool set = _putenv((std::string(kReaderVariable) + "=" + name).c_str()) == 0 &&
        (options.port.empty() || _putenv((std::string(kPortVariable) + "=" + options.port).c_str()) == 0);
#else
    const bool set = ::setenv(kReaderVariable, name.c_str(), 1) == 0 &&
        (options.port.empty() || ::setenv(kPortVariable, options.port.c_str(), 1) == 0);
#endif
    if (!set) {
        std::fprintf(stderr, "kelvara: --reader/--port: the environment cannot be set\n");
        return kFailed;
    }
    return kOk;
}

int Run(int argc, char **argv)
{
    // Every command of the chain is checked before the first one runs.
    Options options;
    std::vector<Parsed> steps;
    for (const std::vector<std::string> &words : wqn::tools::SplitChain(argc, argv)) {
        Parsed parsed;
        bool exitNow = false;
        const int status = Parse(words, parsed, exitNow);
        if (exitNow || status != kOk)
            return status;
        const Options &o = parsed.options;
        if (!o.image.empty() && !options.image.empty() && o.image != options.image) {
            std::fprintf(stderr, "kelvara: one command line works on one card image\n");
            return kUsage;
        }
        if (Clash(o.reader, options.reader) || Clash(o.port, options.port)) {
            std::fprintf(stderr, "kelvara: one command line uses one reader (--reader, --port)\n");
            return kUsage;
        }
        if (!o.reader.empty())
            options.reader = o.reader;
        if (!o.port.empty())
            options.port = o.port;
        options.batch = options.batch || o.batch;
        options.json = options.json || o.json;
        options.verbosity = std::max(options.verbosity, o.verbosity);
        if (!o.image.empty())
            options.image = o.image;
        steps.push_back(std::move(parsed));
    }

    if (const int status = UseReaderForRun(options); status != kOk)
        return status;
    SetInteractive(!options.batch && ::isatty(0) != 0);
    KelvaraSetMessageBoxHandler(AskOnTerminal, nullptr);
    InstallStatusLine(); // the connection and the progress notice
    Session session(options);
    bool repaired = false;
    for (Parsed &parsed : steps) {
        session.Log(2, "running " + parsed.name);
        const int status = parsed.step(session);
        if (status == kOk)
            continue;
        if (status == kFailed && parsed.name == "fsck") {
            repaired = true; // mended, nothing left: the card is fit for the next command
            continue;
        }
        if ((status == kFailed || status == kNotWritten) && parsed.name != "fsck")
            std::fprintf(stderr, _("kelvara: %s failed\n"), parsed.name.c_str());
        return status;
    }
    return repaired ? kFailed : kOk;
}

} // namespace
} // namespace kelvara::tool

int main(int argc, char **argv)
{
    wqn::tools::InitMessages();
    try {
        return kelvara::tool::Run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kelvara: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "kelvara: unexpected failure\n");
    }
    return kelvara::tool::kFailed;
}
