// sampora: command-line access to the Sampora reader, one subcommand per
// library function. Data goes in and comes out as hex. Commands may be
// chained with a lone "--"; they are all checked before the port is opened
// and run in one session.
#include "sampora.h"
#include "tools/common/CommandChain.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

enum Exit { kOk = 0, kUsage = 1, kNoPort = 2, kNoReply = 3, kBadArgument = 4, kReaderStatus = 5 };

const char kDescription[] = "sampora: the Sampora reader from a terminal.\n"
                            "Opens the reader (sampora.ini in the current directory; on Linux COMn is the\n"
                            "device in WQN_COMn), runs the commands in one session and closes it again.\n"
                            "Commands may be chained with a lone \"--\". Numbers are decimal or 0x-prefixed\n"
                            "hex; DATA is hex, blanks allowed inside one argument (\"00 11 22\" or 001122).\n"
                            "Output data is printed as hex.";

const char kFooter[] = "Exit codes:\n"
                       "  0  success\n"
                       "  1  usage error\n"
                       "  2  the port cannot be opened\n"
                       "  3  no reply in time\n"
                       "  4  an argument out of range\n"
                       "  5  the reader answered another status (printed)";

int g_verbosity = 0;

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

void PrintHex(const unsigned char *bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        std::printf(i ? " %02X" : "%02X", bytes[i]);
    std::printf("\n");
}

// Maps a library result to an exit code and explains failures.
int Report(const std::string &name, int result)
{
    if (g_verbosity >= 1)
        std::fprintf(stderr, "sampora: %s -> %d\n", name.c_str(), result);
    if (result == 1)
        return kOk;
    if (result == -1) {
        std::fprintf(stderr, "%s: no reply from the reader in time\n", name.c_str());
        return kNoReply;
    }
    if (result <= -2 && result >= -5) {
        std::fprintf(stderr, "%s: argument %s (error %d)\n", name.c_str(),
                     result == -5 ? "data missing" : "out of range", result);
        return kBadArgument;
    }
    std::fprintf(stderr, "%s: reader status %d\n", name.c_str(), result);
    return kReaderStatus;
}

using N = std::vector<long>;
using D = std::vector<unsigned char>;
using Run = std::function<int(const std::string &, const N &, const D &)>;

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

int NeedBytes(const std::string &name, const D &d, std::size_t n, const char *what)
{
    std::fprintf(stderr, "%s: %s must be %zu bytes (got %zu)\n", name.c_str(), what, n, d.size());
    return kUsage;
}

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {"open-reader",
         "open the reader",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, OpenReader()); }},
        {"close-reader",
         "close the reader",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, CloseReader()); }},
        {"open-card",
         "select the card; prints its 32-bit number",
         {},
         false,
         [](auto &n, const N &, const D &) {
             unsigned int id = 0;
             const int r = Report(n, OpenCard(&id));
             if (r == kOk)
                 std::printf("%08X\n", id);
             return r;
         }},
        {"close-card",
         "deselect the card",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, CloseCard()); }},
        {"read-block",
         "print a 16-byte block",
         {"SEL: key selector (0 key A, 1 key B)", "BLOCK: block 0-63"},
         false,
         [](auto &n, const N &a, const D &) {
             unsigned char out[16];
             const int r = Report(n, ReadBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), out));
             if (r == kOk)
                 PrintHex(out, 16);
             return r;
         }},
        {"write-block",
         "write 16 bytes to a block (not 3, 7, ..., 63)",
         {"SEL: key selector (0 key A, 1 key B)", "BLOCK: block 0-63", "DATA: 16 bytes"},
         true,
         [](auto &n, const N &a, const D &d) {
             if (d.size() != 16)
                 return NeedBytes(n, d, 16, "DATA");
             return Report(n, WriteBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), d.data()));
         }},
        {"read-file",
         "print blocks of a card file",
         {"FILE: card file number", "INDEX: entry", "FIRST: first block 0-3", "COUNT: blocks, 1 to 4-FIRST"},
         false,
         [](auto &n, const N &a, const D &) {
             unsigned char out[64];
             const int r = Report(n,
                                  ReadCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]),
                                               static_cast<short>(a[2]), static_cast<short>(a[3]), out));
             if (r == kOk)
                 PrintHex(out, static_cast<std::size_t>(std::clamp(a[3], 0L, 4L)) * 16);
             return r;
         }},
        {"write-file",
         "write to a card file",
         {"FILE: card file number", "INDEX: entry", "FIRST: first block 0-2", "DATA: up to (3-FIRST)*16 bytes"},
         true,
         [](auto &n, const N &a, const D &d) {
             return Report(n,
                           WriteCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]),
                                         static_cast<short>(a[2]), static_cast<short>(d.size()), d.data()));
         }},
        {"down-secret",
         "load a 6-byte key for a sector",
         {"SEL: key selector (0 key A, 1 key B)", "SECTOR: sector 0-15", "KEY: 6 bytes"},
         true,
         [](auto &n, const N &a, const D &d) {
             if (d.size() != 6)
                 return NeedBytes(n, d, 6, "KEY");
             const auto key = Units(d, 6);
             return Report(n, DownSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), key.data()));
         }},
        {"write-secret",
         "write 16 bytes of key data for a sector",
         {"SEL: key selector (0 key A, 1 key B)", "SECTOR: sector 0-15", "DATA: 16 bytes"},
         true,
         [](auto &n, const N &a, const D &d) {
             if (d.size() != 16)
                 return NeedBytes(n, d, 16, "DATA");
             const auto data = Units(d, 16);
             return Report(n, WriteSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), data.data()));
         }},
        {"write-mac",
         "write a MAC over 1 to 7 bytes with two 16-bit values",
         {"FIRST: 16-bit value", "SECOND: 16-bit value", "DATA: 1 to 7 bytes"},
         true,
         [](auto &n, const N &a, const D &d) {
             return Report(
                 n,
                 WriteMAC(static_cast<short>(d.size()), static_cast<short>(a[0]), static_cast<short>(a[1]), d.data()));
         }},
        {"set-mad",
         "set up the application directory",
         {"A: 1-7", "B: 1-7", "C: 1-14"},
         false,
         [](auto &n, const N &a, const D &) {
             return Report(n, SetMAD(static_cast<short>(a[0]), static_cast<short>(a[1]), static_cast<short>(a[2])));
         }},
        {"restore-card",
         "restore sectors from FIRST, one DATA byte a sector; prints \"A B\"",
         {"FIRST: first sector 1-14", "DATA: one byte a sector"},
         true,
         [](auto &n, const N &a, const D &d) {
             short outA = 0, outB = 0;
             const int r =
                 Report(n, RestoreCard(static_cast<short>(a[0]), static_cast<short>(d.size()), &outA, &outB, d.data()));
             if (r == kOk)
                 std::printf("%d %d\n", outA, outB);
             return r;
         }},
        {"select-sam",
         "select the SAM catalogue",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, SelectSAMCatalog()); }},
        {"allow-deep",
         "the reader's AllowDeep command",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, AllowDeep()); }},
        {"disallow-deep",
         "the reader's DisAllowDeep command",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, DisAllowDeep()); }},
        {"op-correct-deep",
         "the reader's OpCorrectDeep command",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, OpCorrectDeep()); }},
        {"op-incorrect-deep",
         "the reader's OpIncorrectDeep command",
         {},
         false,
         [](auto &n, const N &, const D &) { return Report(n, OpIncorrectDeep()); }},
        {"resend",
         "ask the reader to send its answer again (does not wait; the next command takes it)",
         {},
         false,
         [](auto &n, const N &, const D &) {
             if (ReSend() == 5)
                 return int{kOk};
             std::fprintf(stderr, "%s: could not send\n", n.c_str());
             return int{kNoReply};
         }},
    };
    return commands;
}

struct Step {
    const Command *command = nullptr;
    std::string name;
    N numbers;
    D data;
};

// Checks one command of the chain; help and the version end the run at once
// (`exitNow`).
int Parse(const std::vector<std::string> &words, Step &step, int &verbosity, bool &exitNow)
{
    CLI::App app(kDescription, "sampora");
    app.set_version_flag("--version", std::string("sampora ") + SAMPORA_TOOL_VERSION);
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_flag("-v,--verbose", verbosity, "print each call's result on stderr (-vv: its arguments too)");
    app.footer("Exit codes: 0 success, 1 usage, 2 no port, 3 no reply, 4 argument out of range, 5 reader status "
               "(sampora --help).");
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
        });
    }
    app.footer(kFooter);
    if (const std::optional<int> exit = wqn::tools::ParseCommand(app, words, kUsage)) {
        exitNow = true;
        return *exit;
    }
    return step.command != nullptr ? kOk : kUsage;
}

int RunAll(int argc, char **argv)
{
    std::vector<Step> steps;
    for (const std::vector<std::string> &words : wqn::tools::SplitChain(argc, argv)) {
        Step step;
        int verbosity = 0;
        bool exitNow = false;
        const int status = Parse(words, step, verbosity, exitNow);
        if (exitNow || status != kOk)
            return status;
        g_verbosity = std::max(g_verbosity, verbosity);
        steps.push_back(std::move(step));
    }
    if (Init() != 0) {
        std::fprintf(stderr, "sampora: cannot open the reader's port (check sampora.ini and the port)\n");
        return kNoPort;
    }
    int result = kOk;
    for (const Step &s : steps) {
        if (g_verbosity >= 2) {
            std::string args;
            for (long n : s.numbers)
                args += " " + std::to_string(n);
            if (s.command->dataLast)
                args += " (" + std::to_string(s.data.size()) + " data bytes)";
            std::fprintf(stderr, "sampora: %s%s\n", s.name.c_str(), args.c_str());
        }
        result = s.command->run(s.name, s.numbers, s.data);
        if (result != kOk)
            break;
    }
    Close();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return RunAll(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sampora: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "sampora: unexpected failure\n");
    }
    return kUsage;
}
