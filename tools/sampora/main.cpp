// sampora: command-line access to the Sampora reader, one subcommand per
// library function. Data goes in and comes out as hex.
#include "sampora.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

enum Exit { kOk = 0, kUsage = 1, kNoPort = 2, kNoReply = 3, kBadArgument = 4, kReaderStatus = 5 };

const char kHelp[] = R"(usage: sampora COMMAND [ARGS...] [-- COMMAND [ARGS...]]...

Opens the reader (sampora.ini in the current directory; on Linux COMn is the
device in WQN_COMn), runs the commands in one session and closes it again.
Numbers are decimal or 0x-prefixed hex; DATA is hex, blanks allowed inside
one argument ("00 11 22" or 001122). Output data is printed as hex.

Reader and card:
  open-reader                       open the reader
  close-reader                      close the reader
  open-card                         select the card; prints its 32-bit number
  close-card                        deselect the card
  read-block SEL BLOCK              print block BLOCK (0-63) with key SEL
                                    (0 key A, 1 key B)
  write-block SEL BLOCK DATA        write 16 bytes to BLOCK (not 3, 7, ..., 63)
  read-file FILE INDEX FIRST COUNT  print COUNT blocks (1 to 4-FIRST) of card
                                    file FILE, entry INDEX, from block FIRST (0-3)
  write-file FILE INDEX FIRST DATA  write up to (3-FIRST)*16 bytes from FIRST (0-2)
  set-mad A B C                     set up the application directory
                                    (A, B 1-7; C 1-14)
  restore-card FIRST DATA           restore sectors FIRST.. (1-14), one DATA
                                    byte per sector; prints "A B"

Keys and SAM:
  down-secret SEL SECTOR KEY        load a 6-byte key for SECTOR (0-15)
  write-secret SEL SECTOR DATA      write 16 bytes of key data for SECTOR
  write-mac FIRST SECOND DATA       write a MAC over 1 to 7 DATA bytes with
                                    two 16-bit values
  select-sam                        select the SAM catalogue
  allow-deep | disallow-deep | op-correct-deep | op-incorrect-deep
  resend                            ask the reader to send its answer again
                                    (does not wait; the next command takes it)

Exit codes: 0 success, 1 usage error, 2 the port cannot be opened, 3 no
reply in time, 4 an argument out of range, 5 the reader answered another
status (printed).
)";

using Args = std::vector<std::string>;

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

struct Command {
    std::size_t arguments;
    std::function<int(const std::string &, const std::vector<long> &, const std::vector<unsigned char> &)> run;
    bool data_last; // the last argument is hex data
};

std::vector<short> Units(const std::vector<unsigned char> &bytes, std::size_t n)
{
    std::vector<short> units(n, 0);
    for (std::size_t i = 0; i < n && i < bytes.size(); ++i)
        units[i] = bytes[i];
    return units;
}

const std::map<std::string, Command> &Commands()
{
    using N = std::vector<long>;
    using D = std::vector<unsigned char>;
    static const std::map<std::string, Command> commands = {
        {"open-reader", {0, [](auto &n, const N &, const D &) { return Report(n, OpenReader()); }, false}},
        {"close-reader", {0, [](auto &n, const N &, const D &) { return Report(n, CloseReader()); }, false}},
        {"open-card",
         {0,
          [](auto &n, const N &, const D &) {
              unsigned int id = 0;
              const int r = Report(n, OpenCard(&id));
              if (r == kOk)
                  std::printf("%08X\n", id);
              return r;
          },
          false}},
        {"close-card", {0, [](auto &n, const N &, const D &) { return Report(n, CloseCard()); }, false}},
        {"read-block",
         {2,
          [](auto &n, const N &a, const D &) {
              unsigned char out[16];
              const int r = Report(n, ReadBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), out));
              if (r == kOk)
                  PrintHex(out, 16);
              return r;
          },
          false}},
        {"write-block",
         {3,
          [](auto &n, const N &a, const D &d) {
              if (d.size() != 16) {
                  std::fprintf(stderr, "%s: DATA must be 16 bytes\n", n.c_str());
                  return int{kUsage};
              }
              return Report(n, WriteBlock(static_cast<short>(a[0]), static_cast<short>(a[1]), d.data()));
          },
          true}},
        {"read-file",
         {4,
          [](auto &n, const N &a, const D &) {
              unsigned char out[64];
              const int r = Report(n,
                                   ReadCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]),
                                                static_cast<short>(a[2]), static_cast<short>(a[3]), out));
              if (r == kOk)
                  PrintHex(out, static_cast<std::size_t>(a[3]) * 16);
              return r;
          },
          false}},
        {"write-file",
         {4,
          [](auto &n, const N &a, const D &d) {
              return Report(n,
                            WriteCardFile(static_cast<short>(a[0]), static_cast<unsigned char>(a[1]),
                                          static_cast<short>(a[2]), static_cast<short>(d.size()), d.data()));
          },
          true}},
        {"down-secret",
         {3,
          [](auto &n, const N &a, const D &d) {
              if (d.size() != 6) {
                  std::fprintf(stderr, "%s: KEY must be 6 bytes\n", n.c_str());
                  return int{kUsage};
              }
              const auto key = Units(d, 6);
              return Report(n, DownSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), key.data()));
          },
          true}},
        {"write-secret",
         {3,
          [](auto &n, const N &a, const D &d) {
              if (d.size() != 16) {
                  std::fprintf(stderr, "%s: DATA must be 16 bytes\n", n.c_str());
                  return int{kUsage};
              }
              const auto data = Units(d, 16);
              return Report(n, WriteSecret(static_cast<short>(a[0]), static_cast<short>(a[1]), data.data()));
          },
          true}},
        {"write-mac",
         {3,
          [](auto &n, const N &a, const D &d) {
              return Report(
                  n,
                  WriteMAC(static_cast<short>(d.size()), static_cast<short>(a[0]), static_cast<short>(a[1]), d.data()));
          },
          true}},
        {"set-mad",
         {3,
          [](auto &n, const N &a, const D &) {
              return Report(n, SetMAD(static_cast<short>(a[0]), static_cast<short>(a[1]), static_cast<short>(a[2])));
          },
          false}},
        {"restore-card",
         {2,
          [](auto &n, const N &a, const D &d) {
              short outA = 0, outB = 0;
              const int r = Report(
                  n, RestoreCard(static_cast<short>(a[0]), static_cast<short>(d.size()), &outA, &outB, d.data()));
              if (r == kOk)
                  std::printf("%d %d\n", outA, outB);
              return r;
          },
          true}},
        {"select-sam", {0, [](auto &n, const N &, const D &) { return Report(n, SelectSAMCatalog()); }, false}},
        {"allow-deep", {0, [](auto &n, const N &, const D &) { return Report(n, AllowDeep()); }, false}},
        {"disallow-deep", {0, [](auto &n, const N &, const D &) { return Report(n, DisAllowDeep()); }, false}},
        {"op-correct-deep", {0, [](auto &n, const N &, const D &) { return Report(n, OpCorrectDeep()); }, false}},
        {"op-incorrect-deep", {0, [](auto &n, const N &, const D &) { return Report(n, OpIncorrectDeep()); }, false}},
        {"resend",
         {0,
          [](auto &n, const N &, const D &) {
              if (ReSend() == 5)
                  return int{kOk};
              std::fprintf(stderr, "%s: could not send\n", n.c_str());
              return int{kNoReply};
          },
          false}},
    };
    return commands;
}

struct Step {
    const Command *command;
    std::string name;
    std::vector<long> numbers;
    std::vector<unsigned char> data;
};

// Checks a whole command line before the port is touched.
bool Parse(const Args &words, Step &step)
{
    const auto &commands = Commands();
    const auto it = commands.find(words[0]);
    if (it == commands.end()) {
        std::fprintf(stderr, "sampora: unknown command '%s' (see sampora --help)\n", words[0].c_str());
        return false;
    }
    const Command &c = it->second;
    if (words.size() - 1 != c.arguments) {
        std::fprintf(stderr, "sampora: %s takes %zu argument(s) (see sampora --help)\n", words[0].c_str(), c.arguments);
        return false;
    }
    step.command = &c;
    step.name = words[0];
    const std::size_t numbers = c.data_last ? c.arguments - 1 : c.arguments;
    for (std::size_t i = 1; i <= numbers; ++i) {
        long v = 0;
        if (!Number(words[i], v) || v < -32768 || v > 65535) {
            std::fprintf(stderr, "sampora: %s: '%s' is not a 16-bit number\n", words[0].c_str(), words[i].c_str());
            return false;
        }
        step.numbers.push_back(v);
    }
    if (c.data_last && !Hex(words.back(), step.data)) {
        std::fprintf(stderr, "sampora: %s: '%s' is not hex data\n", words[0].c_str(), words.back().c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        std::fputs(kHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? kUsage : kOk;
    }
    std::vector<Step> steps;
    Args words;
    for (int i = 1; i <= argc; ++i) {
        if (i == argc || std::strcmp(argv[i], "--") == 0) {
            if (words.empty()) {
                std::fprintf(stderr, "sampora: empty command (see sampora --help)\n");
                return kUsage;
            }
            Step step;
            if (!Parse(words, step))
                return kUsage;
            steps.push_back(std::move(step));
            words.clear();
        } else {
            words.push_back(argv[i]);
        }
    }
    if (Init() != 0) {
        std::fprintf(stderr, "sampora: cannot open the reader's port (check sampora.ini and the port)\n");
        return kNoPort;
    }
    int result = kOk;
    for (const Step &s : steps) {
        result = s.command->run(s.name, s.numbers, s.data);
        if (result != kOk)
            break;
    }
    Close();
    return result;
}
