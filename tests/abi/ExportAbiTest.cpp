// The calling convention of every export of the 32-bit DLLs, as a caller
// that knows only the DLL's name table sees it: each function is looked up
// with GetProcAddress and called with its arguments pushed by hand, and the
// bytes it removed from the stack are compared with its convention (stdcall:
// 4 an argument, cdecl: none). A declaration that lost its convention still
// compiles and links; a caller built against the real one then corrupts its
// stack. The result is compared too, where the arguments decide it, so an
// argument read from the wrong place shows.
//
//   abi_tests.exe PACKAGE_DIR
//
// PACKAGE_DIR holds the Windows package's layout: bin\Kelvara.dll,
// bin\Sampora.dll, simulators\Gcic32.dll, simulators\MCS_SR.DLL. No reader is
// attached, so every call fails fast; the handler setters come first in the
// table, so no window opens: every message box is answered Cancel.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum class Convention { kStdcall, kCdecl };

// What a call returns and how much of EAX counts: kNone for void (or a
// result the arguments do not decide), else the bits of the return type.
enum class Result { kNone, k8, k16, k32 };

struct Export {
    const char *dll;
    const char *name;
    Convention convention;
    std::vector<std::uintptr_t> args;
    Result result;
    std::int32_t expected;
};

struct CallOutcome {
    std::uint32_t eax;
    std::int32_t removed; // bytes of arguments the callee took off the stack
};

#if !defined(__i386__)
#error "the calling conventions checked here are those of 32-bit x86"
#endif

// Pushes `args` right to left, calls `function`, and measures the stack
// pointer before and after. ESI keeps the caller's stack pointer across the
// call (both conventions preserve it) and restores it, so a callee that
// removes the wrong amount cannot derail this program.
CallOutcome CallByHand(void *function, const std::vector<std::uintptr_t> &args)
{
    std::uint32_t eax;
    std::uint32_t before;
    std::uint32_t after;
    std::uint32_t count = static_cast<std::uint32_t>(args.size());
    const std::uintptr_t *data = args.data();
    asm volatile("movl %%esp, %%esi\n\t"
                 "1:\n\t"
                 "testl %%ecx, %%ecx\n\t"
                 "jz 2f\n\t"
                 "pushl -4(%%ebx,%%ecx,4)\n\t"
                 "decl %%ecx\n\t"
                 "jmp 1b\n"
                 "2:\n\t"
                 "call *%%edi\n\t"
                 "movl %%esp, %%edx\n\t"
                 "movl %%esi, %%esp\n\t"
                 : "=a"(eax), "=S"(before), "=d"(after), "+c"(count)
                 : "D"(function), "b"(data)
                 : "memory", "cc");
    const auto pushed = static_cast<std::int32_t>(4 * args.size());
    return {eax, static_cast<std::int32_t>(after - before) + pushed};
}

// Handlers with the default (cdecl) convention of the setters' prototypes.
int CancelEveryBox(void *, const char *, const char *, unsigned) { return IDCANCEL; }
int CancelDialog(void *, void *) { return IDCANCEL; }
void NoNotice(void *, int, const char *) {}

template <class T>
std::uintptr_t P(T *pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

unsigned char g_page[264];
char g_text[512];
unsigned g_cardId;
short g_units[16];
std::string g_scratch; // the program's working directory
std::string g_out; // a file name in it

std::vector<Export> Exports()
{
    const auto S = Convention::kStdcall;
    const auto C = Convention::kCdecl;
    const char *k = "Kelvara";
    const char *s = "Sampora";
    const char *g = "Gcic32";
    const char *m = "MCS_SR";
#define JAVA(name) "_Java_wqn_vorn_icnative_NativeClass_" name
    return {
        // Kelvara.dll: the handler setters (cdecl) first, so nothing shows.
        {k, "KelvaraSetMessageBoxHandler", C, {P(&CancelEveryBox), 0}, Result::kNone, 0},
        {k, "KelvaraSetNoticeHandler", C, {P(&NoNotice), 0}, Result::kNone, 0},
        {k, "KelvaraSetProgressNoticeHandler", C, {P(&NoNotice), 0}, Result::kNone, 0},
        {k, "KelvaraSetProgressHandler", C, {0, 0}, Result::kNone, 0},
        {k, "KelvaraSetSettingsDialogHandler", C, {P(&CancelDialog), 0}, Result::kNone, 0},
        // The TS_ functions (stdcall); no reader answers.
        {k, "TS_ReadBlock", S, {0, 0, 264, P(g_page), 1}, Result::k32, -1},
        {k, "TS_WriteBlock", S, {0, 0, 264, P(g_page), 1}, Result::k32, -1},
        {k, "TS_CheckKelvara", S, {}, Result::k32, -1},
        {k, "KelvaraWaitForCard", C, {0}, Result::k32, -1},
        {k, "KelvaraRenameIcFile", C, {P("\\a.txt"), P("\\b.txt")}, Result::k32, -1},
        {k, "TS_IcCardLock", S, {}, Result::k32, 0},
        {k, "TS_IcCardExit", S, {}, Result::k32, 0},
        {k, "TS_GetVersion", S, {P(g_text)}, Result::kNone, 0},
        {k, "TS_SetPortSpeed", S, {0}, Result::kNone, 0},
        {k, "TS_FileTime", S, {P("a.txt"), P(g_text)}, Result::k32, -1},
        {k, "TS_ReadIcFiles", S, {P(g_scratch.c_str()), P("*.*"), P(g_text)}, Result::k32, -1},
        {k, "TS_WriteIcFiles", S, {P("\\"), P(g_out.c_str())}, Result::k32, -1},
        {k, "TS_DelIcFiles", S, {P("*.*")}, Result::k32, -1},
        {k, "TS_IsFormat", S, {}, Result::k32, -1},
        {k, "TS_Format", S, {}, Result::k32, -1},
        {k, "TS_DirIcFiles", S, {P(g_out.c_str())}, Result::k32, -1},
        {k, "TS_Test", S, {}, Result::k32, -1},
        {k, "TS_GetBitTable", S, {P(g_out.c_str())}, Result::k32, 0},
        {k, "TS_ReleaseKelvara", S, {}, Result::kNone, 0},
        // The Java native methods (stdcall, decorated) without a JVM: a
        // null environment reads every string as empty and returns null ones.
        {k, JAVA("CheckKelvara@8"), S, {0, 0}, Result::k8, 0},
        {k, JAVA("ReadIcFileIndex@8"), S, {0, 0}, Result::k8, 0},
        {k, JAVA("WriteIcFileIndex@8"), S, {0, 0}, Result::k8, 0},
        {k, JAVA("ReadIC@16"), S, {0, 0, 0, 0}, Result::k32, 0},
        {k, JAVA("WriteIC@16"), S, {0, 0, 0, 0}, Result::k8, 0},
        {k, JAVA("ICFileDel@12"), S, {0, 0, 0}, Result::k8, 0},
        {k, JAVA("ICFormat@8"), S, {0, 0}, Result::k8, 0},
        {k, JAVA("ICFileTime@12"), S, {0, 0, 0}, Result::k32, 0},
        {k, JAVA("IsProcessExist@12"), S, {0, 0, 0}, Result::k8, 0},
        {k, JAVA("ShowPro@12"), S, {0, 0, 0}, Result::kNone, 0},
        {k, JAVA("SetText@12"), S, {0, 0, 0}, Result::kNone, 0},
        {k, JAVA("HidePro@8"), S, {0, 0}, Result::kNone, 0},
        {k, JAVA("SetPortSpeed@8"), S, {0, 0}, Result::kNone, 0},
        {k, JAVA("ReleaseKelvara@8"), S, {0, 0}, Result::kNone, 0},
        // Sampora.dll (cdecl). Init finds port 0 in sampora.ini and opens
        // nothing; without a port a command fails with -1, a bad argument
        // with its own code, which tells where each argument was read.
        {s, "Init", C, {}, Result::k16, -1},
        {s, "OpenCard", C, {P(&g_cardId)}, Result::k16, -1},
        {s, "CloseCard", C, {}, Result::k16, -1},
        {s, "OpenReader", C, {}, Result::k16, -1},
        {s, "CloseReader", C, {}, Result::k16, -1},
        {s, "ReadBlock", C, {0, 0, 0}, Result::k16, -5},
        {s, "WriteBlock", C, {0, 64, P(g_page)}, Result::k16, -3},
        {s, "ReadCardFile", C, {0, 0, 0, 5, P(g_page)}, Result::k16, -4},
        {s, "WriteCardFile", C, {0, 0, 3, 0, P(g_page)}, Result::k16, -3},
        {s, "DownSecret", C, {2, 0, P(g_units)}, Result::k16, -2},
        {s, "SelectSAMCatalog", C, {}, Result::k16, -1},
        {s, "WriteSecret", C, {0, 16, P(g_units)}, Result::k16, -3},
        {s, "WriteMAC", C, {8, 0, 0, P(g_page)}, Result::k16, -2},
        {s, "SetMAD", C, {1, 1, 15}, Result::k16, -4},
        {s, "RestoreCard", C, {1, 15, P(g_units), P(g_units + 1), P(g_page)}, Result::k16, -3},
        {s, "AllowDeep", C, {}, Result::k16, -1},
        {s, "DisAllowDeep", C, {}, Result::k16, -1},
        {s, "OpCorrectDeep", C, {}, Result::k16, -1},
        {s, "OpIncorrectDeep", C, {}, Result::k16, -1},
        {s, "ReSend", C, {}, Result::k32, -1},
        {s, "Close", C, {}, Result::k16, 0},
        // The simulated vendor libraries (stdcall), told that no port has a
        // reader: no port opens, and handle 7 is unknown.
        {g, "IC_InitComm_Baud", S, {1, 9600}, Result::k32, -1},
        {g, "IC_ExitComm", S, {7}, Result::k16, -1},
        {g, "IC_InitType", S, {7, 0x41}, Result::k16, -1},
        {g, "IC_Status", S, {7}, Result::k16, -1},
        {g, "IC_Down", S, {7}, Result::k16, 0},
        {g, "IC_WhatIsType", S, {7}, Result::k16, 0x41},
        {g, "IC_DirectRead", S, {7, 0, 0, 8, P(g_page)}, Result::k16, -1},
        {g, "IC_DirectWrite", S, {7, 0, 0, 8, P(g_page)}, Result::k16, -1},
        {m, "MCS_InitComm", S, {1, 9600}, Result::k16, -1},
        {m, "MCS_AutoTest", S, {P(g_page)}, Result::k16, -1},
        {m, "AT45D_OpenCard", S, {0x33}, Result::k16, -1},
        {m, "MCS_LED", S, {1}, Result::k16, 0},
        {m, "AT45D_BundleReadChar", S, {0, 8, P(g_page)}, Result::k16, -1},
        {m, "AT45D_BundleWriteChar", S, {0, 8, P(g_page)}, Result::k16, -1},
        {m, "AT45D_CloseCard", S, {}, Result::k16, 0},
        {m, "MCS_ExitComm", S, {}, Result::k16, 0},
    };
#undef JAVA
}

std::int32_t Narrow(std::uint32_t eax, Result result)
{
    switch (result) {
    case Result::k8:
        return static_cast<std::int8_t>(eax);
    case Result::k16:
        return static_cast<std::int16_t>(eax);
    default:
        return static_cast<std::int32_t>(eax);
    }
}

// A fresh working directory with a sampora.ini naming port 0, which Init
// refuses without opening anything; and no reader on any port of the
// simulated vendor libraries (they read the variables through the shared
// msvcrt): Kelvara, looking for its vendor readers, finds the GC481 one
// already loaded by this program.
bool EnterScratchDirectory()
{
    if (_putenv("WQN_GC481_PORTS=none") != 0 || _putenv("WQN_MCS_PORTS=none") != 0)
        return false;
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return false;
    g_scratch = std::string(temp) + "wqn-abi-" + std::to_string(GetCurrentProcessId());
    g_out = g_scratch + "\\out.txt";
    if (!CreateDirectoryA(g_scratch.c_str(), nullptr) || !SetCurrentDirectoryA(g_scratch.c_str()))
        return false;
    FILE *ini = std::fopen("sampora.ini", "w");
    if (ini == nullptr)
        return false;
    std::fputs("[reader]\nport=0\n", ini);
    return std::fclose(ini) == 0;
}

void LeaveScratchDirectory()
{
    SetCurrentDirectoryA("..");
    DeleteFileA((g_scratch + "\\sampora.ini").c_str());
    DeleteFileA(g_out.c_str());
    RemoveDirectoryA(g_scratch.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: abi_tests PACKAGE_DIR\n");
        return 2;
    }
    if (!EnterScratchDirectory()) {
        std::fprintf(stderr, "abi_tests: no scratch directory or environment\n");
        return 2;
    }
    const std::string root = argv[1];
    struct Library {
        const char *key;
        std::string path;
        HMODULE module;
    } libraries[] = {
        {"Kelvara", root + "\\bin\\Kelvara.dll", nullptr},
        {"Sampora", root + "\\bin\\Sampora.dll", nullptr},
        {"Gcic32", root + "\\simulators\\Gcic32.dll", nullptr},
        {"MCS_SR", root + "\\simulators\\MCS_SR.DLL", nullptr},
    };
    int passed = 0;
    int failed = 0;
    for (auto &library : libraries) {
        library.module = LoadLibraryA(library.path.c_str());
        if (library.module == nullptr) {
            std::printf("FAIL %s: not loaded (error %lu)\n", library.path.c_str(), GetLastError());
            ++failed;
        }
    }
    for (const Export &e : Exports()) {
        HMODULE module = nullptr;
        for (const auto &library : libraries)
            if (std::string(library.key) == e.dll)
                module = library.module;
        if (module == nullptr)
            continue; // already counted
        void *function = reinterpret_cast<void *>(GetProcAddress(module, e.name));
        if (function == nullptr) {
            std::printf("FAIL %s!%s: not exported\n", e.dll, e.name);
            ++failed;
            continue;
        }
        const CallOutcome outcome = CallByHand(function, e.args);
        const std::int32_t wanted = e.convention == Convention::kStdcall ? 4 * std::int32_t(e.args.size()) : 0;
        const bool stackOk = outcome.removed == wanted;
        const bool resultOk = e.result == Result::kNone || Narrow(outcome.eax, e.result) == e.expected;
        std::printf("%s %s!%s: %s, %d argument bytes removed (expected %d)", stackOk && resultOk ? "ok  " : "FAIL",
                    e.dll, e.name, e.convention == Convention::kStdcall ? "stdcall" : "cdecl", outcome.removed, wanted);
        if (e.result != Result::kNone)
            std::printf(", returned %d (expected %d)", Narrow(outcome.eax, e.result), e.expected);
        std::printf("\n");
        ++(stackOk && resultOk ? passed : failed);
    }
    for (auto &library : libraries)
        if (library.module != nullptr)
            FreeLibrary(library.module);
    LeaveScratchDirectory();
    std::printf("abi_tests: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}
