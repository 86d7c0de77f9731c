// kelvara: the Kelvara library from a terminal. Each subcommand calls one
// export of libkelvara.so; several may be chained with "--" so they share one
// connection. Prompts are asked on the terminal (or cancelled when there is
// none), and the connection and progress notices show on a status line.
#include "kelvara.h"

#include "kelvara/services/Settings.h"
#include "tools/kelvara/SettingsEdit.h"
#include "tools/kelvara/StatusLine.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotWritten = 3 };

bool g_interactive = false;

const char *const kHelp = "usage: kelvara [--batch] COMMAND [ARGS] [-- COMMAND [ARGS] ...]\n"
                          "\n"
                          "Card reader:\n"
                          "  check                      find the reader and wait for a card\n"
                          "  release                    end the connection\n"
                          "  lock | exit                send the reader's lock or exit command\n"
                          "  version                    the reader's version text (USB reader only)\n"
                          "Card files:\n"
                          "  format                     write an empty file system to the card\n"
                          "  isformat                   whether the card is formatted\n"
                          "  put CARD_DIR LOCAL_FILE    copy local files (wildcards * and ?) onto the card\n"
                          "  get LOCAL_DIR CARD_PATH    copy a card file, or CARD_DIR\\*.* for a whole\n"
                          "                             directory, into LOCAL_DIR\n"
                          "  rm CARD_PATH               delete a card file (or CARD_DIR\\*.*)\n"
                          "  ls [FILE]                  list the card's files (or write the listing to FILE)\n"
                          "  time NAME                  a file's write time, YYYYMMDDhhmm\n"
                          "  test                       show the listing in a message box\n"
                          "  bitmap [FILE]              the allocation bitmap, one character a page\n"
                          "Raw pages (0-2047, 264 bytes):\n"
                          "  read-page PAGE [OFFSET LENGTH] [--crc]\n"
                          "  write-page PAGE HEX|@FILE [OFFSET] [--crc]\n"
                          "Settings:\n"
                          "  settings                   show the stored reader settings\n"
                          "  settings set NAME VALUE    store one (PortMode, ComPortID, BaudRateIndex,\n"
                          "                             BaudRateMax, ComPortName, WaitMS)\n"
                          "  settings edit              choose reader, speed and port (the settings dialog)\n"
                          "\n"
                          "Ports: WQN_COMn names the device of COMn (e.g. WQN_COM1=/dev/ttyUSB0).\n"
                          "Exit codes: 0 done, 1 the operation failed, 2 usage, 3 output file not written.\n";

// --- the user's side of the library --------------------------------------

int AskOnTerminal(void *, const char *text, const char *caption, unsigned type)
{
    const unsigned buttons = type & 0xF;
    std::fprintf(stderr, "\r\033[K[%s] %s\n", caption, text);
    if (buttons == 0x0)
        return 1; // OK
    if (!g_interactive) {
        std::fprintf(stderr, "  (no terminal: cancelled)\n");
        return 2;
    }
    const bool retry = buttons == 0x5;
    for (;;) {
        std::fprintf(stderr, retry ? "  [r]etry or [c]ancel? " : "  [o]k or [c]ancel? ");
        char line[32] = "";
        if (std::fgets(line, sizeof line, stdin) == nullptr)
            return 2;
        if (line[0] == 'c' || line[0] == 'C')
            return 2;
        if (retry && (line[0] == 'r' || line[0] == 'R'))
            return 4;
        if (!retry && (line[0] == 'o' || line[0] == 'O' || line[0] == '\n'))
            return 1;
    }
}

// --- helpers --------------------------------------------------------------

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempFile(const char *what)
{
    return (std::filesystem::temp_directory_path() /
            ("kelvara-" + std::string(what) + "-" + std::to_string(::getpid())))
        .string();
}

bool ParseInt(const std::string &text, int &out)
{
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || v < -2147483647L || v > 2147483647L)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseHex(const std::string &text, std::vector<unsigned char> &out)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
        else if (c != ' ' && c != ':' && c != '\n')
            return false;
    }
    if (digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

void HexDump(const unsigned char *bytes, int length, int offset)
{
    for (int i = 0; i < length; i += 16) {
        std::printf("%03d:", offset + i);
        for (int j = i; j < i + 16 && j < length; ++j)
            std::printf(" %02X", bytes[j]);
        std::printf("\n");
    }
}

int Result(int r) { return r == 0 ? kOk : kFailed; }

// --- commands ---------------------------------------------------------------

int Settings(const std::vector<std::string> &args)
{
    using namespace kelvara;
    if (args.empty()) {
        std::printf("settings: %s\n", SettingsLocation().c_str());
        std::printf("PortMode=%d\n", ReadSettingInt(setting::kPortMode, setting::kPortModeDefault));
        std::printf("ComPortID=%d\n", ReadSettingInt(setting::kComPortID, setting::kComPortIDDefault));
        std::printf("BaudRateIndex=%d\n", ReadSettingInt(setting::kBaudRateIndex, setting::kBaudRateIndexDefault));
        std::printf("BaudRateMax=%d\n", ReadSettingInt(setting::kBaudRateMax, setting::kBaudRateMaxDefault));
        std::printf("ComPortName=%s\n", ReadSettingText(setting::kComPortName, setting::kComPortNameDefault).c_str());
        std::printf("WaitMS=%d\n", ReadSettingInt(setting::kWaitMS, setting::kWaitMSDefault));
        return kOk;
    }
    if (args.size() == 1 && args[0] == "edit")
        return kelvara_tool::EditSettings(stdin, stdout);
    if (args.size() != 3 || args[0] != "set")
        return kUsage;
    const std::string &name = args[1];
    if (name == setting::kComPortName)
        return WriteSettingText(name, args[2]) ? kOk : kFailed;
    int value = 0;
    if ((name != setting::kPortMode && name != setting::kComPortID && name != setting::kBaudRateIndex &&
         name != setting::kBaudRateMax && name != setting::kWaitMS) ||
        !ParseInt(args[2], value)) {
        std::fprintf(stderr, "kelvara: unknown setting or bad value\n");
        return kUsage;
    }
    return WriteSettingInt(name, value) ? kOk : kFailed;
}

int ReadPage(const std::vector<std::string> &args, bool crc)
{
    int page = 0, offset = 0, length = 264;
    if (args.empty() || !ParseInt(args[0], page) ||
        (args.size() >= 3 && (!ParseInt(args[1], offset) || !ParseInt(args[2], length))) || args.size() == 2 ||
        args.size() > 3 || length < 0 || length > 264)
        return kUsage;
    unsigned char buffer[264] = {};
    if (TS_ReadBlock(page, offset, length, buffer, crc ? 1 : 0) != 0)
        return kFailed;
    HexDump(buffer, length, offset);
    return kOk;
}

int WritePage(const std::vector<std::string> &args, bool crc)
{
    int page = 0, offset = 0;
    if (args.size() < 2 || args.size() > 3 || !ParseInt(args[0], page) ||
        (args.size() == 3 && !ParseInt(args[2], offset)))
        return kUsage;
    std::vector<unsigned char> data;
    if (args[1].rfind("@", 0) == 0) {
        const std::string bytes = ReadWhole(args[1].substr(1));
        data.assign(bytes.begin(), bytes.end());
    } else if (!ParseHex(args[1], data)) {
        return kUsage;
    }
    if (data.size() > 264)
        return kUsage;
    unsigned char buffer[264] = {};
    std::memcpy(buffer, data.data(), data.size());
    const int length = crc ? 264 : static_cast<int>(data.size());
    return Result(TS_WriteBlock(page, offset, length, buffer, crc ? 1 : 0));
}

int Listing(const std::vector<std::string> &args)
{
    const std::string out = args.empty() ? TempFile("dir") : args[0];
    const int r = TS_DirIcFiles(out.c_str());
    if (r == 0)
        return kNotWritten;
    if (r != 1)
        return kFailed;
    if (args.empty()) {
        const std::string listing = ReadWhole(out);
        std::filesystem::remove(out);
        // path*YYYYMMDDhhmmss, entries ending in ","
        std::size_t start = 0;
        for (std::size_t comma; (comma = listing.find(',', start)) != std::string::npos; start = comma + 1) {
            const std::string entry = listing.substr(start, comma - start);
            const std::size_t star = entry.find('*');
            const std::string path = entry.substr(0, star);
            const std::string t = star == std::string::npos ? "" : entry.substr(star + 1);
            if (t.size() == 14)
                std::printf("%s-%s-%s %s:%s:%s  %s\n", t.substr(0, 4).c_str(), t.substr(4, 2).c_str(),
                            t.substr(6, 2).c_str(), t.substr(8, 2).c_str(), t.substr(10, 2).c_str(),
                            t.substr(12, 2).c_str(), path.c_str());
            else
                std::printf("%-19s  %s\n", t.c_str(), path.c_str());
        }
    }
    return kOk;
}

int Bitmap(const std::vector<std::string> &args)
{
    const std::string out = args.empty() ? TempFile("bits") : args[0];
    if (TS_GetBitTable(out.c_str()) != 1)
        return kNotWritten;
    if (args.empty()) {
        const std::string bits = ReadWhole(out);
        std::filesystem::remove(out);
        std::size_t free = 0;
        for (char c : bits)
            free += c == '1' ? 1 : 0;
        std::printf("pages free: %zu of %zu ('.' free, '#' in use; 64 pages a line)\n", free, bits.size());
        for (std::size_t i = 0; i < bits.size(); i += 64) {
            std::printf("%4zu ", i);
            for (std::size_t j = i; j < i + 64 && j < bits.size(); ++j)
                std::putchar(bits[j] == '1' ? '.' : '#');
            std::putchar('\n');
        }
    }
    return kOk;
}

// The exports that never connect by themselves get a connection first.
bool Connected()
{
    static bool connected = false;
    if (!connected)
        connected = TS_CheckKelvara() == 0;
    return connected;
}

int Run(const std::string &command, std::vector<std::string> args)
{
    static const std::vector<std::string> kNeedReader = {"get", "read-page", "write-page", "lock", "exit", "version"};
    if (std::find(kNeedReader.begin(), kNeedReader.end(), command) != kNeedReader.end() && !Connected())
        return kFailed;
    bool crc = false;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "--crc") {
            crc = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    const auto need = [&](std::size_t n) { return args.size() == n; };
    if (command == "check" && need(0))
        return Result(TS_CheckKelvara());
    if (command == "release" && need(0)) {
        TS_ReleaseKelvara();
        return kOk;
    }
    if (command == "lock" && need(0))
        return TS_IcCardLock() == 1 ? kOk : kFailed;
    if (command == "exit" && need(0))
        return TS_IcCardExit() == 1 ? kOk : kFailed;
    if (command == "version" && need(0)) {
        char text[256] = "";
        TS_GetVersion(text);
        std::printf("%s\n", text);
        return text[0] != '\0' ? kOk : kFailed;
    }
    if (command == "format" && need(0))
        return Result(TS_Format());
    if (command == "isformat" && need(0)) {
        const int r = TS_IsFormat();
        std::printf("%s\n", r == 0 ? "formatted" : "not formatted (or not readable)");
        return Result(r);
    }
    if (command == "put" && need(2))
        return Result(TS_WriteIcFiles(args[0].c_str(), args[1].c_str()));
    if (command == "get" && need(2)) {
        std::string directory = args[0];
        if (!directory.empty() && directory.back() != '/')
            directory.push_back('/');
        // The library writes every name it copied; a card holds at most 2031 files.
        std::vector<char> names(2031 * 300, '\0');
        const int r = TS_ReadIcFiles(directory.c_str(), args[1].c_str(), names.data());
        if (r == 0 && names[0] != '\0')
            std::printf("%s\n", names.data());
        return Result(r);
    }
    if (command == "rm" && need(1))
        return Result(TS_DelIcFiles(args[0].c_str()));
    if (command == "ls" && args.size() <= 1)
        return Listing(args);
    if (command == "time" && need(1)) {
        char text[64] = "";
        const int r = TS_FileTime(args[0].c_str(), text);
        if (r == 0)
            std::printf("%s\n", text[0] != '\0' ? text : "(no such file)");
        return r == 0 && text[0] != '\0' ? kOk : kFailed;
    }
    if (command == "test" && need(0))
        return Result(TS_Test());
    if (command == "bitmap" && args.size() <= 1)
        return Bitmap(args);
    if (command == "read-page")
        return ReadPage(args, crc);
    if (command == "write-page")
        return WritePage(args, crc);
    if (command == "settings")
        return Settings(args);
    return kUsage;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    g_interactive = ::isatty(0) != 0;
    if (!words.empty() && words[0] == "--batch") {
        g_interactive = false;
        words.erase(words.begin());
    }
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        std::fputs(kHelp, words.empty() ? stderr : stdout);
        return words.empty() ? kUsage : kOk;
    }
    KelvaraSetMessageBoxHandler(AskOnTerminal, nullptr);
    kelvara_tool::InstallStatusLine(); // both notices

    int status = kOk;
    std::size_t i = 0;
    while (i < words.size() && status == kOk) {
        std::size_t end = i;
        while (end < words.size() && words[end] != "--")
            ++end;
        if (end == i) {
            status = kUsage;
            break;
        }
        const std::string command = words[i];
        status = Run(
            command,
            std::vector<std::string>(words.begin() + static_cast<long>(i) + 1, words.begin() + static_cast<long>(end)));
        if (status == kUsage)
            std::fprintf(stderr, "kelvara: bad use of '%s' (kelvara --help)\n", command.c_str());
        else if (status != kOk)
            std::fprintf(stderr, "kelvara: %s failed\n", command.c_str());
        i = end + 1;
    }
    TS_ReleaseKelvara();
    return status;
}
