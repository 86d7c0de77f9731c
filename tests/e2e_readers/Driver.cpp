// kelvara-readers-driver: runs one scenario against libkelvara.so in a
// process of its own, so every end-to-end case starts from a freshly loaded
// library. The arguments are commands, run in order:
//   check | version | lock | exit | format | release
//   write CARD_DIRECTORY LOCAL_FILE | read LOCAL_DIRECTORY CARD_PATTERN
//   mark TEXT   (appends "mark TEXT" to the log file named by E2E_LOG)
// Each prints one line "<command> <result>[ <text>]". Message boxes print
// "box <type> <text>" and are answered OK when OK is the only button and
// Cancel otherwise (which ends a connection prompt); notices print
// "notice <op> <text>".
#include "kelvara.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int OnMessageBox(void *, const char *text, const char *, unsigned int type)
{
    std::printf("box %u %s\n", type, text);
    std::fflush(stdout);
    return (type & 0xF) == 0x0 ? 1 : 2;
}

void OnNotice(void *, int op, const char *text) { std::printf("notice %d %s\n", op, text); }

void Mark(const char *text)
{
    const char *path = std::getenv("E2E_LOG");
    if (path == nullptr)
        return;
    if (std::FILE *f = std::fopen(path, "a")) {
        std::fprintf(f, "mark %s\n", text);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv)
{
    KelvaraSetMessageBoxHandler(&OnMessageBox, nullptr);
    KelvaraSetNoticeHandler(&OnNotice, nullptr);
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        const auto next = [&]() -> const char * { return i + 1 < argc ? argv[++i] : ""; };
        if (command == "check") {
            std::printf("check %d\n", TS_CheckKelvara());
        } else if (command == "version") {
            char text[64] = "unset";
            TS_GetVersion(text);
            std::printf("version %s\n", text);
        } else if (command == "lock") {
            std::printf("lock %d\n", TS_IcCardLock());
        } else if (command == "exit") {
            std::printf("exit %d\n", TS_IcCardExit());
        } else if (command == "format") {
            std::printf("format %d\n", TS_Format());
        } else if (command == "release") {
            TS_ReleaseKelvara();
            std::printf("release 0\n");
        } else if (command == "write") {
            const char *directory = next();
            const char *file = next();
            std::printf("write %d\n", TS_WriteIcFiles(directory, file));
        } else if (command == "read") {
            const char *directory = next();
            const char *pattern = next();
            char names[4096] = "";
            const int r = TS_ReadIcFiles(directory, pattern, names);
            std::printf("read %d %s\n", r, names);
        } else if (command == "mark") {
            Mark(next());
            std::printf("mark 0\n");
        } else {
            std::fprintf(stderr, "unknown command %s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
