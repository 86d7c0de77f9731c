// sampora: command-line access to the Sampora reader, one subcommand per
// library function. Data goes in and comes out as hex. Commands may be
// chained with a lone "--"; they are all checked before the port is opened
// and run in one session.
#include "sampora.h"
#include "sampora/ComPort.h"
#include "sampora/ReaderStatus.h"
#include "sampora/Settings.h"
#include "tools/common/CommandChain.h"
#include "tools/common/ExitCodes.h"
#include "tools/common/Messages.h"

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include "common/win32/WindowsHeaders.h"
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// The kelvara tool's scheme. An argument the library finds out of range is a
// usage error like one the parser finds.
enum Exit {
    kOk = wqn::tools::kExitOk,
    kFailed = wqn::tools::kExitFailed,
    kUsage = wqn::tools::kExitUsage,
};

const char kDescription[] = "sampora: the Sampora reader from a terminal.\n"
                            "Opens the reader, runs the commands in one session and closes it again.\n"
                            "Commands may be chained with a lone \"--\". Numbers are decimal or 0x-prefixed\n"
                            "hex; DATA is hex, blanks allowed inside one argument (\"00 11 22\" or 001122).\n"
                            "Output data is printed as hex.";

const char kFooter[] = "Settings (section [reader]) come from --config FILE, else sampora.ini in the\n"
                       "current directory, else $XDG_CONFIG_HOME/sampora/sampora.ini (default\n"
                       "~/.config/sampora/sampora.ini); on Linux COMn is the device in WQN_COMn.\n"
                       "\n"
                       "Exit codes:\n"
                       "  0  success\n"
                       "  1  failed: the port cannot be opened, no reply in time, or the reader\n"
                       "     answered another status (printed)\n"
                       "  2  usage: a command or argument is wrong, or out of the library's range";

struct Options {
    bool json = false;
    int verbosity = 0;
    std::string config;
};

Options g_options;

bool Number(const std::string &text, long &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return *end == '\0';
}

bool Hex(const std::string &text, std::vector<unsigned char> &out)
{
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

std::string HexText(const unsigned char *bytes, std::size_t n)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    return text;
}

// What a command gives back besides the library's result: its text line for
// stdout and the same facts as JSON fields.
struct Output {
    std::string line;
    nlohmann::json fields = nlohmann::json::object();
    std::string failure; // set when the result's usual meaning does not fit
};

using N = std::vector<long>;
using D = std::vector<unsigned char>;
// Returns the library's result (1 success).
using Run = std::function<int(const N &, const D &, Output &)>;

struct Command {
    const char *name;
    const char *help;
    std::vector<const char *> arguments; // "NAME: help"; a DATA or KEY argument comes last
    bool dataLast;
    Run run;
};

std::vector<short> Units(const D &bytes, std::size_t n)
{
    std::vector<short> units(n, 0);
    for (std::size_t i = 0; i < n && i < bytes.size(); ++i)
        units[i] = bytes[i];
    return units;
}

// The data bytes a command needs, checked with the other arguments before
// the port is opened.
std::size_t DataBytesNeeded(const std::string &name)
{
    if (name == "down-secret")
        return 6;
    if (name == "write-block" || name == "write-secret")
        return 16;
    return 0;
}

void PutData(Output &out, const unsigned char *bytes, std::size_t n)
{
    out.line = HexText(bytes, n);
    out.fields["data"] = out.line;
}

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {"open-reader", "open the reader", {}, false, [](const N &, const D &, Output &) { return OpenReader(); }},
        {"close-reader", "close the reader", {}, false, [](const N &, const D &, Output &) { return CloseReader(); }},
        {"open-card",
         "select the card; prints its 32-bit number",
         {},
         false,
         [](const N &, const D &, Output &out) {
             unsigned int id = 0;
             const int r = OpenCard(&id);
             char text[12];
             std::snprintf(text, sizeof text, "%08X", id);
             out.line = text;
             out.fields["card"] = text;
             return r;
         }},
        {"close-card", "deselect the card", {}, false, [](const N &, const D &, Output &) { return CloseCard(); }},
        {"read-block",
         "print a 16-byte block",
         {"SEL: key selector (0 key A, 1 key B)", "BLOCK: block 0-63"},
         false,
         [](const N &a, const D &, Output &out) {
             unsigned char data[16];
             const int r = ReadBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), data);
             PutData(out, data, sizeof data);
             return r;
         }},
        {"write-block",
         "write 16 bytes to a block (not 3, 7, ..., 63)",
         {"SEL: key selector (0 key A, 1 key B)", "BLOCK: block 0-63", "DATA: 16 bytes"},
         true,
         [](const N &a, const D &d, Output &) {
             return WriteBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), d.data());
         }},
        {"read-file",
         "print blocks of a card file",
         {"FILE: card file number", "INDEX: entry", "FIRST: first block 0-3", "COUNT: blocks, 1 to 4-FIRST"},
         false,
         [](const N &a, const D &, Output &out) {
             unsigned char data[64];
             const int r = ReadCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]),
                                        static_cast<short>(a[2]), static_cast<short>(a[3]), data);
             PutData(out, data, static_cast<std::size_t>(std::clamp(a[3], 0L, 4L)) * 16);
             return r;
         }},
        {"write-file",
         "write to a card file",
         {"FILE: card file number", "INDEX: entry", "FIRST: first block 0-2", "DATA: up to (3-FIRST)*16 bytes"},
         true,
         [](const N &a, const D &d, Output &) {
             return WriteCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]), static_cast<short>(a[2]),
                                  static_cast<short>(d.size()), d.data());
         }},
        {"down-secret",
         "load a 6-byte key for a sector",
         {"SEL: key selector (0 key A, 1 key B)", "SECTOR: sector 0-15", "KEY: 6 bytes"},
         true,
         [](const N &a, const D &d, Output &) {
             const auto key = Units(d, 6);
             return DownSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), key.data());
         }},
        {"write-secret",
         "write 16 bytes of key data for a sector",
         {"SEL: key selector (0 key A, 1 key B)", "SECTOR: sector 0-15", "DATA: 16 bytes"},
         true,
         [](const N &a, const D &d, Output &) {
             const auto data = Units(d, 16);
             return WriteSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), data.data());
         }},
        {"write-mac",
         "write a MAC over 1 to 7 bytes with two 16-bit values",
         {"FIRST: 16-bit value", "SECOND: 16-bit value", "DATA: 1 to 7 bytes"},
         true,
         [](const N &a, const D &d, Output &) {
             return WriteMAC(static_cast<short>(d.size()), static_cast<short>(a[0]), static_cast<short>(a[1]),
                             d.data());
         }},
        {"set-mad",
         "set up the application directory",
         {"A: 1-7", "B: 1-7", "C: 1-14"},
         false,
         [](const N &a, const D &, Output &) {
             return SetMAD(static_cast<short>(a[0]), static_cast<short>(a[1]), static_cast<short>(a[2]));
         }},
        {"restore-card",
         "restore sectors from FIRST, one DATA byte a sector; prints \"A B\"",
         {"FIRST: first sector 1-14", "DATA: one byte a sector"},
         true,
         [](const N &a, const D &d, Output &out) {
             short outA = 0, outB = 0;
             const int r = RestoreCard(static_cast<short>(a[0]), static_cast<short>(d.size()), &outA, &outB, d.data());
             out.line = std::to_string(outA) + " " + std::to_string(outB);
             out.fields["a"] = outA;
             out.fields["b"] = outB;
             return r;
         }},
        {"select-sam",
         "select the SAM catalogue",
         {},
         false,
         [](const N &, const D &, Output &) { return SelectSAMCatalog(); }},
        {"allow-deep",
         "the reader's AllowDeep command",
         {},
         false,
         [](const N &, const D &, Output &) { return AllowDeep(); }},
        {"disallow-deep",
         "the reader's DisAllowDeep command",
         {},
         false,
         [](const N &, const D &, Output &) { return DisAllowDeep(); }},
        {"op-correct-deep",
         "the reader's OpCorrectDeep command",
         {},
         false,
         [](const N &, const D &, Output &) { return OpCorrectDeep(); }},
        {"op-incorrect-deep",
         "the reader's OpIncorrectDeep command",
         {},
         false,
         [](const N &, const D &, Output &) { return OpIncorrectDeep(); }},
        {"resend",
         "ask the reader to send its answer again (does not wait; the next command takes it)",
         {},
         false,
         [](const N &, const D &, Output &out) {
             if (ReSend() == 5)
                 return int{sampora::status::kOk};
             out.failure = _("the resend command could not be sent");
             return int{sampora::status::kNoReply};
         }},
    };
    return commands;
}

// Maps a library result to an exit code and explains failures on stderr.
int Report(const std::string &name, int result, const Output &out)
{
    if (g_options.verbosity >= 1)
        std::fprintf(stderr, "sampora: %s -> %d\n", name.c_str(), result);
    if (result == sampora::status::kOk)
        return kOk;
    if (!out.failure.empty()) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), out.failure.c_str());
        return kFailed;
    }
    const char *meaning = sampora::status::MeaningOf(result);
    const std::string text = meaning != nullptr ? _(meaning) : _("a status the reader is not known to send");
    if (result == sampora::status::kNoReply) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), text.c_str());
        return kFailed;
    }
    if (result < 0) {
        std::fprintf(stderr, _("%s: %s (error %d)\n"), name.c_str(), text.c_str(), result);
        return kUsage;
    }
    std::fprintf(stderr, _("%s: %s (reader status %d)\n"), name.c_str(), text.c_str(), result);
    return kFailed;
}

struct Step {
    const Command *command = nullptr;
    std::string name;
    N numbers;
    D data;
};

// Checks one command of the chain; help and the version end the run at once
// (`exitNow`).
int Parse(const std::vector<std::string> &words, Step &step, Options &options, bool &exitNow)
{
    CLI::App app(kDescription, "sampora");
    app.set_version_flag("--version", std::string("sampora ") + SAMPORA_TOOL_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_flag("-v,--verbose", options.verbosity, "print each call's result on stderr (-vv: its arguments too)");
    app.add_flag("--json", options.json,
                 "print each command's result as one JSON document a line (docs/kelvara-json.md)");
    app.add_option("--config", options.config, "read the reader's settings from FILE")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    app.footer("Exit codes: 0 success, 1 failed, 2 usage (sampora --help).");
    for (const Command &c : Commands()) {
        CLI::App *sub = app.add_subcommand(c.name, c.help);
        // The argument texts live as long as the parser's options point into them.
        auto texts = std::make_shared<std::vector<std::string>>(c.arguments.size());
        for (std::size_t i = 0; i < c.arguments.size(); ++i) {
            const std::string argument = c.arguments[i];
            const std::size_t colon = argument.find(':');
            const bool data = c.dataLast && i + 1 == c.arguments.size();
            sub->add_option(argument.substr(0, colon), (*texts)[i], argument.substr(colon + 2))
                ->required()
                ->type_name(data ? "HEX" : "NUMBER");
        }
        const Command *command = &c;
        sub->callback([&step, texts, command] {
            step.command = command;
            step.name = command->name;
            const std::size_t numbers = command->dataLast ? texts->size() - 1 : texts->size();
            for (std::size_t i = 0; i < numbers; ++i) {
                long v = 0;
                if (!Number((*texts)[i], v) || v < -32768 || v > 65535)
                    throw CLI::ValidationError(command->name, "'" + (*texts)[i] + "' is not a 16-bit number");
                step.numbers.push_back(v);
            }
            if (command->dataLast && !Hex(texts->back(), step.data))
                throw CLI::ValidationError(command->name, "'" + texts->back() + "' is not hex data");
            const std::size_t need = DataBytesNeeded(command->name);
            if (need != 0 && step.data.size() != need)
                throw CLI::ValidationError(command->name,
                                           "the data must be " + std::to_string(need) + " bytes (got " +
                                               std::to_string(step.data.size()) + ")");
        });
    }
    app.footer(kFooter);
    if (const std::optional<int> exit = wqn::tools::ParseCommand(app, words, kUsage)) {
        exitNow = true;
        return *exit;
    }
    return step.command != nullptr ? kOk : kUsage;
}

// Hands the settings file named with --config to the library, which reads
// $SAMPORA_SETTINGS before its own places.
bool UseSettingsFile(const std::string &path)
{
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(path, error).lexically_normal().string();
#ifdef _WIN32
    return !error && ::_putenv_s("SAMPORA_SETTINGS", absolute.c_str()) == 0;
#else
    return !error && ::setenv("SAMPORA_SETTINGS", absolute.c_str(), 1) == 0;
#endif
}

// Why the port did not open, as the OS says it; taken right after Init.
std::string LastSystemError()
{
#ifdef _WIN32
    const DWORD code = ::GetLastError();
    char text[256] = "";
    if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                         sizeof text, nullptr) == 0)
        return "system error " + std::to_string(code);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    return reason;
#else
    return std::strerror(errno);
#endif
}

// Says why Init failed: the port number, or the device and the OS's reason.
// Where the settings came from, for messages: the file, or the defaults when
// the library found none.
std::string SettingsSource()
{
    const std::string file = sampora::SettingsFilePath();
    std::error_code error;
    return !file.empty() && std::filesystem::exists(file, error) ? file : std::string(_("the defaults"));
}

void ExplainNoPort(const std::string &reason)
{
    const std::string from = SettingsSource();
    const sampora::LineSettings line = sampora::ToLineSettings(sampora::LoadReaderSettings());
    if (!sampora::IsValidPortNumber(line.port)) {
        std::fprintf(stderr, _("sampora: port %u (from %s) is not 1 to 6\n"), line.port, from.c_str());
        return;
    }
    std::fprintf(stderr, _("sampora: cannot open %s (COM%u, settings from %s): %s\n"),
                 sampora::PortDeviceName(line.port).c_str(), line.port, from.c_str(), reason.c_str());
}

int RunAll(int argc, char **argv)
{
    std::vector<Step> steps;
    for (const std::vector<std::string> &words : wqn::tools::SplitChain(argc, argv)) {
        Step step;
        Options options;
        bool exitNow = false;
        const int status = Parse(words, step, options, exitNow);
        if (exitNow || status != kOk)
            return status;
        if (!options.config.empty() && !g_options.config.empty() && options.config != g_options.config) {
            std::fprintf(stderr, "%s", _("sampora: one command line reads one settings file\n"));
            return kUsage;
        }
        g_options.verbosity = std::max(g_options.verbosity, options.verbosity);
        g_options.json = g_options.json || options.json;
        if (!options.config.empty())
            g_options.config = options.config;
        steps.push_back(std::move(step));
    }
    if (!g_options.config.empty() && !UseSettingsFile(g_options.config)) {
        std::fprintf(stderr, _("sampora: cannot use the settings file %s\n"), g_options.config.c_str());
        return kFailed;
    }
    if (g_options.verbosity >= 1)
        std::fprintf(stderr, _("sampora: settings from %s\n"), SettingsSource().c_str());
    if (Init() != 0) {
        ExplainNoPort(LastSystemError());
        return kFailed;
    }
    int exit = kOk;
    for (const Step &s : steps) {
        if (g_options.verbosity >= 2) {
            std::string args;
            for (long n : s.numbers)
                args += " " + std::to_string(n);
            if (s.command->dataLast)
                args += " (" + std::to_string(s.data.size()) + " data bytes)";
            std::fprintf(stderr, "sampora: %s%s\n", s.name.c_str(), args.c_str());
        }
        Output out;
        const int result = s.command->run(s.numbers, s.data, out);
        exit = Report(s.name, result, out);
        if (g_options.json) {
            // Every command that ran gets its document, the failed one too;
            // the data fields only when it succeeded.
            nlohmann::json document = {{"command", s.name}, {"ok", exit == kOk}, {"result", result}};
            const char *meaning = sampora::status::MeaningOf(result);
            document["status"] = !out.failure.empty() ? nlohmann::json(out.failure)
                : meaning != nullptr                  ? nlohmann::json(meaning)
                                                      : nlohmann::json(nullptr);
            if (exit == kOk)
                document.update(out.fields);
            std::printf("%s\n", document.dump().c_str());
        } else if (exit == kOk && !out.line.empty()) {
            std::printf("%s\n", out.line.c_str());
        }
        if (exit != kOk)
            break;
    }
    Close();
    return exit;
}

} // namespace

int main(int argc, char **argv)
{
    wqn::tools::InitMessages();
    try {
        return RunAll(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sampora: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "sampora: unexpected failure\n");
    }
    return kFailed;
}
