// kelvara-host: the process in which an end-to-end test runs Kelvara. It
// runs the test's commands (Protocol.h) against the library's C interface
// and reports the library's message boxes and notices back to the test.
// Built natively against libkelvara.so and, for Wine, as a Windows program
// against Kelvara.dll.
//
// Commands (results after "ok"):
//   handlers BOX NOTICE [PROGRESS [PAGES]]
//                             how boxes, the connection notice, the
//                             progress notice and the page counts of the
//                             progress handler are handled: "forward" (to
//                             the test, as events), "auto" (boxes: OK when OK
//                             is the only button, else Cancel, as a user who
//                             is not there), "none" (the library's own
//                             default; PROGRESS and PAGES "none" when not
//                             given)
//   dialog-handler none|choose READER
//                             the settings dialog: the library's own, or a
//                             handler that selects READER and presses OK
//   dialog-calls              -> how often that handler ran
//   CheckKelvara ReleaseKelvara IcCardLock IcCardExit IsFormat Format Test
//   SetPortSpeed N              -> the result (nothing for the void ones)
//   ReadBlock PAGE OFFSET LENGTH CRC HEX / WriteBlock ...
//                             HEX: the caller's buffer -> result, buffer after
//   GetVersion TEXT           TEXT: the buffer's text before -> text after
//   FileTime NAME TEXT        -> result, text after
//   ReadIcFiles DIRECTORY PATTERN TEXT -> result, text after
//   ReadIcFilesBounded DIRECTORY PATTERN SIZE
//                             a buffer of SIZE bytes -> result, text after,
//                             needed
//   WaitForCard MS            -> result
//   RenameIcFile FROM TO      -> result
//   WriteIcFiles DIRECTORY FILES / DelIcFiles PATTERN / DirIcFiles PATH /
//   GetBitTable PATH          -> result
//   settings-dump             -> name, type, value of every stored setting
//   settings-clear / settings-int NAME N / settings-text NAME TEXT
//   setenv NAME VALUE         (an empty value removes the variable)
//   codepage                  -> the code page of 8-bit texts
//   parallel-copy DIR0 DIR1 ROUNDS
//                             two threads, each copying files of its own to
//                             the card and back ROUNDS times -> failures
//   handler-churn PAGE ROUNDS one thread swaps two pairs of box and notice
//                             handlers (each with its own context) while
//                             this one reconnects and reads PAGE with its
//                             checksum ROUNDS times -> failed connections,
//                             handler calls, calls that got the other
//                             handler's context
//   java ..., jni-trail, progress-log PATH   the Java native methods
//                             (JavaCommands.cpp)
//   quit
// A buffer the library writes past its end makes the command an error.
//
// kelvara-host-usb.exe, a Windows variant with the library linked in, puts
// the USB reader stand-in (win32/UsbDeviceStandIn.h) behind the library's
// USB transport and adds
//   usb-breaches              -> what the transport did wrong, one each
#include "kelvara.h"

#include "tests/remote/Host.h"
#include "tests/remote/HostPlatform.h"
#include "tests/remote/JavaCommands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace wqn::host {
namespace {

Host g_host;

// A text buffer of the caller, large enough for any text the library puts in.
class TextBuffer {
public:
    explicit TextBuffer(const std::string &before)
        : bytes_(kSize + GuardedBuffer::kGuardBytes, char(GuardedBuffer::kGuard))
    {
        if (before.size() >= kSize)
            throw CommandError("text too long");
        std::memcpy(bytes_.data(), before.c_str(), before.size() + 1);
    }
    char *Data() { return bytes_.data(); }
    std::string Checked() const
    {
        for (std::size_t i = kSize; i < bytes_.size(); ++i) {
            if (bytes_[i] != char(GuardedBuffer::kGuard))
                throw CommandError("the library wrote past the end of the caller's text buffer");
        }
        return std::string(bytes_.data(), strnlen(bytes_.data(), kSize));
    }

private:
    static constexpr std::size_t kSize = 65536;
    std::vector<char> bytes_;
};

std::string Result(long value) { return std::to_string(value); }

int AutoAnswer(unsigned type) { return (type & 0xF) == 0 ? 1 : 2; }

int ForwardBox(void *, const char *text, const char *caption, unsigned type)
{
    RecordUserEvent(std::string("box ") + (text != nullptr ? text : ""));
    return g_host.AwaitAnswer(
        {"box", std::to_string(type), caption != nullptr ? caption : "", text != nullptr ? text : ""});
}

int AutoBox(void *, const char *text, const char *, unsigned type)
{
    std::fprintf(stderr, "kelvara-host: box %u %s\n", type, text != nullptr ? text : "");
    RecordUserEvent(std::string("box ") + (text != nullptr ? text : ""));
    return AutoAnswer(type);
}

void ForwardNotice(void *, int op, const char *text)
{
    g_host.AwaitAnswer({"notice", std::to_string(op), text != nullptr ? text : ""});
}

void ForwardProgress(void *, int op, const char *text)
{
    RecordUserEvent("progress " + std::to_string(op) + " " + (text != nullptr ? text : ""));
    g_host.AwaitAnswer({"progress", std::to_string(op), text != nullptr ? text : ""});
}

void ForwardPages(void *, int done, int total)
{
    g_host.AwaitAnswer({"pages", std::to_string(done), std::to_string(total)});
}

Tokens Handlers(const Tokens &args)
{
    const std::string &box = Host::Text(args, 0);
    const std::string &notice = Host::Text(args, 1);
    if (box == "forward")
        KelvaraSetMessageBoxHandler(&ForwardBox, nullptr);
    else if (box == "auto")
        KelvaraSetMessageBoxHandler(&AutoBox, nullptr);
    else if (box == "none")
        KelvaraSetMessageBoxHandler(nullptr, nullptr);
    else
        throw CommandError("box handler: " + box);
    if (notice == "forward")
        KelvaraSetNoticeHandler(&ForwardNotice, nullptr);
    else if (notice == "none" || notice == "auto")
        KelvaraSetNoticeHandler(nullptr, nullptr);
    else
        throw CommandError("notice handler: " + notice);
    const std::string progress = args.size() > 2 ? args[2] : "none";
    if (progress == "forward")
        KelvaraSetProgressNoticeHandler(&ForwardProgress, nullptr);
    else if (progress == "none" || progress == "auto")
        KelvaraSetProgressNoticeHandler(nullptr, nullptr);
    else
        throw CommandError("progress handler: " + progress);
    const std::string pages = args.size() > 3 ? args[3] : "none";
    if (pages == "forward")
        KelvaraSetProgressHandler(&ForwardPages, nullptr);
    else if (pages == "none" || pages == "auto")
        KelvaraSetProgressHandler(nullptr, nullptr);
    else
        throw CommandError("pages handler: " + pages);
    return {};
}

struct DialogChoice {
    int reader = 0;
    int calls = 0;
};
DialogChoice g_dialog;

int ChooseReader(void *, KelvaraSettingsDialog *dialog)
{
    ++g_dialog.calls;
    dialog->reader = g_dialog.reader;
    dialog->readerListClosedUp(dialog);
    return 1; // OK
}

Tokens DialogHandler(const Tokens &args)
{
    const std::string &mode = Host::Text(args, 0);
    if (mode == "none") {
        KelvaraSetSettingsDialogHandler(nullptr, nullptr);
    } else if (mode == "choose") {
        g_dialog.reader = int(Host::Number(args, 1));
        KelvaraSetSettingsDialogHandler(&ChooseReader, nullptr);
    } else {
        throw CommandError("dialog handler: " + mode);
    }
    return {};
}

std::string Join(const std::string &directory, const std::string &name)
{
    if (!directory.empty() && directory.back() == platform::PathSeparator())
        return directory + name;
    return directory + platform::PathSeparator() + name;
}

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Each thread writes its own file to its own card directory, removes the
// local copy, reads it back from the card and compares.
int CopyRounds(const std::string &directory, int id, int rounds)
{
    int failures = 0;
    const std::string name = "own" + std::to_string(id) + ".dat";
    const std::string path = Join(directory, name);
    const std::string card = "\\t" + std::to_string(id);
    for (int round = 0; round < rounds; ++round) {
        const std::string content(std::size_t(700 + 97 * id + round), char('a' + id * 8 + round));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        if (TS_WriteIcFiles(card.c_str(), path.c_str()) != 0)
            ++failures;
        std::remove(path.c_str());
        std::vector<char> names(4096, '\0');
        const std::string pattern = card + "\\*.*";
        if (TS_ReadIcFiles(Join(directory, "").c_str(), pattern.c_str(), names.data()) != 0)
            ++failures;
        if (ReadWhole(path) != content)
            ++failures;
    }
    return failures;
}

// A handler pair of the churn and what reached it.
struct HandlerTag {
    std::atomic<int> calls{0};
    std::atomic<int> foreign{0};
};
HandlerTag g_tagA, g_tagB;

template <HandlerTag *Own>
void TaggedNotice(void *ctx, int, const char *)
{
    ++Own->calls;
    if (ctx != Own)
        ++Own->foreign;
}

template <HandlerTag *Own>
int TaggedBox(void *ctx, const char *, const char *, unsigned)
{
    ++Own->calls;
    if (ctx != Own)
        ++Own->foreign;
    return 1; // OK
}

Tokens HandlerChurn(const Tokens &args)
{
    const int page = int(Host::Number(args, 0));
    const long rounds = Host::Number(args, 1);
    for (HandlerTag *tag : {&g_tagA, &g_tagB}) {
        tag->calls = 0;
        tag->foreign = 0;
    }
    std::atomic<bool> done{false};
    std::atomic<bool> swapping{false};
    int failedConnections = 0;
    // A pair is set before the threads start and the calls wait for the first
    // swap: on a busy machine the swapping thread may otherwise start only
    // after every call has been made, and no handler is ever called.
    KelvaraSetNoticeHandler(&TaggedNotice<&g_tagA>, &g_tagA);
    KelvaraSetMessageBoxHandler(&TaggedBox<&g_tagA>, &g_tagA);
    platform::RunTogether(
        [&] {
            while (!done.load()) {
                KelvaraSetNoticeHandler(&TaggedNotice<&g_tagA>, &g_tagA);
                KelvaraSetMessageBoxHandler(&TaggedBox<&g_tagA>, &g_tagA);
                KelvaraSetNoticeHandler(&TaggedNotice<&g_tagB>, &g_tagB);
                KelvaraSetMessageBoxHandler(&TaggedBox<&g_tagB>, &g_tagB);
                swapping.store(true);
            }
        },
        [&] {
            while (!swapping.load())
                std::this_thread::yield();
            for (long round = 0; round < rounds; ++round) {
                TS_ReleaseKelvara();
                if (TS_CheckKelvara() != 0) // the connection notice
                    ++failedConnections;
                unsigned char back[264];
                TS_ReadBlock(page, 0, 264, back, 1); // the checksum box
            }
            done.store(true);
        });
    KelvaraSetNoticeHandler(nullptr, nullptr);
    KelvaraSetMessageBoxHandler(nullptr, nullptr);
    return Tokens{Result(failedConnections), Result(g_tagA.calls + g_tagB.calls),
                  Result(g_tagA.foreign + g_tagB.foreign)};
}

void AddCommands(Host &host)
{
    host.Add("handlers", &Handlers);
    host.Add("CheckKelvara", [](const Tokens &) { return Tokens{Result(TS_CheckKelvara())}; });
    host.Add("ReleaseKelvara", [](const Tokens &) {
        TS_ReleaseKelvara();
        return Tokens{};
    });
    const auto block = [](auto transfer) {
        return [transfer](const Tokens &args) {
            GuardedBuffer buffer(Host::Text(args, 4));
            const int r = transfer(int(Host::Number(args, 0)), int(Host::Number(args, 1)), int(Host::Number(args, 2)),
                                   buffer.Data(), static_cast<unsigned char>(Host::Number(args, 3)));
            return Tokens{Result(r), buffer.Checked()};
        };
    };
    host.Add("ReadBlock",
             block([](int p, int o, int l, unsigned char *b, unsigned char c) { return TS_ReadBlock(p, o, l, b, c); }));
    host.Add("WriteBlock", block([](int p, int o, int l, unsigned char *b, unsigned char c) {
                 return TS_WriteBlock(p, o, l, b, c);
             }));
    host.Add("IcCardLock", [](const Tokens &) { return Tokens{Result(TS_IcCardLock())}; });
    host.Add("IcCardExit", [](const Tokens &) { return Tokens{Result(TS_IcCardExit())}; });
    host.Add("GetVersion", [](const Tokens &args) {
        TextBuffer text(Host::Text(args, 0));
        TS_GetVersion(text.Data());
        return Tokens{text.Checked()};
    });
    host.Add("SetPortSpeed", [](const Tokens &args) {
        TS_SetPortSpeed(int(Host::Number(args, 0)));
        return Tokens{};
    });
    host.Add("FileTime", [](const Tokens &args) {
        TextBuffer time(Host::Text(args, 1));
        const int r = TS_FileTime(Host::Text(args, 0).c_str(), time.Data());
        return Tokens{Result(r), time.Checked()};
    });
    host.Add("ReadIcFiles", [](const Tokens &args) {
        TextBuffer names(Host::Text(args, 2));
        const int r = TS_ReadIcFiles(Host::Text(args, 0).c_str(), Host::Text(args, 1).c_str(), names.Data());
        return Tokens{Result(r), names.Checked()};
    });
    host.Add("WaitForCard",
             [](const Tokens &args) { return Tokens{Result(KelvaraWaitForCard(int(Host::Number(args, 0))))}; });
    host.Add("RenameIcFile", [](const Tokens &args) {
        return Tokens{Result(KelvaraRenameIcFile(Host::Text(args, 0).c_str(), Host::Text(args, 1).c_str()))};
    });
    host.Add("ReadIcFilesBounded", [](const Tokens &args) {
        const auto size = static_cast<std::size_t>(std::max(0L, Host::Number(args, 2)));
        std::vector<char> bytes(size + GuardedBuffer::kGuardBytes, char(GuardedBuffer::kGuard));
        int needed = -1;
        const int r = KelvaraReadIcFilesBounded(Host::Text(args, 0).c_str(), Host::Text(args, 1).c_str(), bytes.data(),
                                                int(size), &needed);
        for (std::size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != char(GuardedBuffer::kGuard))
                throw CommandError("the library wrote past the size it was given");
        }
        return Tokens{Result(r), std::string(bytes.data(), strnlen(bytes.data(), size)), Result(needed)};
    });
    host.Add("WriteIcFiles", [](const Tokens &args) {
        return Tokens{Result(TS_WriteIcFiles(Host::Text(args, 0).c_str(), Host::Text(args, 1).c_str()))};
    });
    host.Add("DelIcFiles",
             [](const Tokens &args) { return Tokens{Result(TS_DelIcFiles(Host::Text(args, 0).c_str()))}; });
    host.Add("IsFormat", [](const Tokens &) { return Tokens{Result(TS_IsFormat())}; });
    host.Add("Format", [](const Tokens &) { return Tokens{Result(TS_Format())}; });
    host.Add("DirIcFiles",
             [](const Tokens &args) { return Tokens{Result(TS_DirIcFiles(Host::Text(args, 0).c_str()))}; });
    host.Add("Test", [](const Tokens &) { return Tokens{Result(TS_Test())}; });
    host.Add("GetBitTable",
             [](const Tokens &args) { return Tokens{Result(TS_GetBitTable(Host::Text(args, 0).c_str()))}; });

    host.Add("settings-dump", [](const Tokens &) { return platform::DumpSettings(); });
    host.Add("settings-clear", [](const Tokens &) {
        platform::ClearSettings();
        return Tokens{};
    });
    host.Add("settings-int", [](const Tokens &args) {
        platform::StoreSettingInt(Host::Text(args, 0), Host::Number(args, 1));
        return Tokens{};
    });
    host.Add("settings-text", [](const Tokens &args) {
        platform::StoreSettingText(Host::Text(args, 0), Host::Text(args, 1));
        return Tokens{};
    });
    host.Add("setenv", [](const Tokens &args) {
        platform::SetEnvironment(Host::Text(args, 0), Host::Text(args, 1));
        return Tokens{};
    });
    host.Add("codepage", [](const Tokens &) { return Tokens{platform::CodePage()}; });
    host.Add("parallel-copy", [](const Tokens &args) {
        const std::string first = Host::Text(args, 0);
        const std::string second = Host::Text(args, 1);
        const int rounds = int(Host::Number(args, 2));
        int failures[2] = {0, 0};
        platform::RunTogether([&] { failures[0] = CopyRounds(first, 0, rounds); },
                              [&] { failures[1] = CopyRounds(second, 1, rounds); });
        return Tokens{Result(failures[0] + failures[1])};
    });
    host.Add("handler-churn", &HandlerChurn);
    host.Add("dialog-handler", &DialogHandler);
    host.Add("dialog-calls", [](const Tokens &) { return Tokens{Result(g_dialog.calls)}; });
    AddJavaCommands(host);
    platform::AddPlatformCommands(host);
}

} // namespace
} // namespace wqn::host

#ifdef WQN_HOST_USB_STAND_IN
namespace wqn::host::usb {
void AddStandInCommands(Host &host);
}
#endif

int main()
{
    wqn::host::platform::Init();
    wqn::host::AddCommands(wqn::host::g_host);
#ifdef WQN_HOST_USB_STAND_IN
    wqn::host::usb::AddStandInCommands(wqn::host::g_host);
#endif
    return wqn::host::g_host.Run();
}
