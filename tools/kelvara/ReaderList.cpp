// kelvara readers: every place the library looks for each kind of reader,
// and which of them answers its protocol's status request, like a card
// reader scan. Asking changes nothing: no reader's speed, no stored setting.
#include "kelvara/readers/serial/SerialReader.h"
#include "kelvara/readers/usb/UsbReader.h"
#include "kelvara/readers/vendor/Gc481Reader.h"
#include "kelvara/readers/vendor/McsReader.h"
#include "kelvara/services/DynamicLibrary.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/SerialAdapters.h"
#include "tools/kelvara/Tool.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>

#include <cerrno>
#endif

namespace kelvara::tool {
namespace {

// How long asking may take, said in the help and in the listing.
const char kProbeTimes[] = "a serial port up to about 1.6 s (one status request at each speed, 200 ms of silence "
                           "each), the USB reader its answer time-out, a vendor reader its library's own search";

struct Answer {
    std::string state; // "card", "no card", "other", "silent", "unopened", "not found"
    std::string detail; // the speed, or why a port cannot be opened
    long ms = 0;
};

long MsSince(std::chrono::steady_clock::time_point start)
{
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

// Why `device` cannot be opened, as far as the system says.
std::string OpenProblem(const std::string &device)
{
#ifndef _WIN32
    if (::access(device.c_str(), R_OK | W_OK) != 0)
        return std::strerror(errno);
#else
    (void)device;
#endif
    return "cannot be opened";
}

Answer ProbeSerial(const std::string &port)
{
    const auto start = std::chrono::steady_clock::now();
    SerialReader reader;
    std::uint32_t baud = 0;
    const int code = reader.ProbePort(port, baud);
    Answer answer;
    if (code == SerialReader::kProbeNotOpened) {
        answer = {"unopened", OpenProblem(SerialDevicePath(port))};
    } else if (code == SerialReader::kProbeSilent) {
        answer = {"silent", ""};
    } else {
        answer = {code == reply::kDone ? "card" : "no card", std::to_string(baud) + " bit/s"};
    }
    answer.ms = MsSince(start);
    return answer;
}

// A vendor reader: whether its library loads, then the library's own search.
template <class Reader>
Answer ProbeVendor(Reader &reader, bool loads)
{
    const auto start = std::chrono::steady_clock::now();
    Answer answer{"not found", ""};
    if (loads) {
        const int r = reader.Connect();
        answer.state = r == 2 ? "card" : r == 1 ? "no card" : "silent";
        reader.Close();
    }
    answer.ms = MsSince(start);
    return answer;
}

std::string UsbPlace()
{
#ifdef _WIN32
    return "the USB_V626 driver's device";
#else
    const char *path = std::getenv("WQN_USB_READER");
    return path != nullptr && *path != '\0' ? std::string(path) : std::string("(WQN_USB_READER not set)");
#endif
}

Answer ProbeUsb()
{
    const auto start = std::chrono::steady_clock::now();
    UsbReader reader;
    const int s = reader.Probe();
    Answer answer{s < 0 ? "silent" : s == 0 ? "card" : s <= 2 ? "no card" : "other", ""};
    answer.ms = MsSince(start);
    return answer;
}

bool Answered(const Answer &a) { return a.state == "card" || a.state == "no card" || a.state == "other"; }

nlohmann::json Json(const Answer &a)
{
    nlohmann::json doc{{"answer", a.state}, {"ms", a.ms}};
    if (!a.detail.empty())
        doc["detail"] = a.detail;
    return doc;
}

std::string Text(const Answer &a)
{
    std::string text = a.state == "card" ? "answers: card ready"
        : a.state == "no card"           ? "answers: no card"
        : a.state == "other"             ? "answers with another status"
        : a.state == "silent"            ? "no answer"
        : a.state == "unopened"          ? "cannot be opened"
                                         : "not found";
    if (!a.detail.empty())
        text += " (" + a.detail + ")";
    return text;
}

std::string Heading(int mode, const char *name)
{
    return std::string(name) + " (--reader " + std::string(ReaderModeName(mode)) + ", PortMode " +
        std::to_string(mode) + ")";
}

int ListReaders(Session &session)
{
    const bool json = session.options().json;
    // The readers given for the run are listed alone, as the library would try them.
    const int given = ReaderModeOverride();
    const auto wanted = [given](const char *name) {
        return given == reader_override::kNone || given == ReaderModeByName(name);
    };
    ProbeScope probing; // the search below records nothing
    bool any = false;
    nlohmann::json readers = nlohmann::json::array();
    if (!json)
        std::printf("Asking takes %s.\n", kProbeTimes);

    if (wanted("serial")) {
        nlohmann::json ports = nlohmann::json::array();
        if (!json)
            std::printf("%s:\n", Heading(ReaderModeByName("serial"), "WQN serial reader").c_str());
        for (const std::string &port : SerialReader::Candidates()) {
            const std::string device = SerialDevicePath(port);
            const std::string usb = SerialAdapterDescription(device);
            const Answer answer = ProbeSerial(port);
            any = any || Answered(answer);
            if (json) {
                nlohmann::json entry = Json(answer);
                entry["port"] = port;
                entry["device"] = device;
                entry["usb"] = usb.empty() ? nlohmann::json() : nlohmann::json(usb);
                ports.push_back(entry);
            } else {
                std::printf("  %s = %s%s: %s\n", port.c_str(), device.c_str(), usb.empty() ? "" : (", " + usb).c_str(),
                            Text(answer).c_str());
            }
        }
        readers.push_back({{"reader", "serial"}, {"mode", ReaderModeByName("serial")}, {"ports", ports}});
    }
    if (wanted("usb")) {
        const Answer answer = ProbeUsb();
        any = any || Answered(answer);
        nlohmann::json entry = Json(answer);
        entry.update({{"reader", "usb"}, {"mode", ReaderModeByName("usb")}, {"device", UsbPlace()}});
        readers.push_back(entry);
        if (!json)
            std::printf("%s: %s: %s\n", Heading(ReaderModeByName("usb"), "USB_V626 reader").c_str(), UsbPlace().c_str(),
                        Text(answer).c_str());
    }
    const auto vendor = [&](const char *name, const char *title, const std::string &library, bool loads, auto &reader) {
        const Answer answer = ProbeVendor(reader, loads);
        any = any || Answered(answer);
        nlohmann::json entry = Json(answer);
        entry.update({{"reader", name}, {"mode", ReaderModeByName(name)}, {"library", library}, {"found", loads}});
        readers.push_back(entry);
        if (!json)
            std::printf("%s: library %s %s: %s\n", Heading(ReaderModeByName(name), title).c_str(), library.c_str(),
                        loads ? "found" : "not found", loads ? Text(answer).c_str() : "not asked");
    };
    if (wanted("gc481")) {
        DynamicLibrary library;
        const bool loads = library.LoadInstalled(vendor_library::kGc481Name);
        Gc481Reader reader;
        vendor("gc481", "GC481 reader", std::string(vendor_library::kGc481Name) + " (the system's library path)", loads,
               reader);
    }
    if (wanted("mcs")) {
        DynamicLibrary library;
        const std::string path = McsLibraryPath();
        const bool loads = library.Load(path);
        McsReader reader;
        vendor("mcs", "MCS-C reader", path, loads, reader);
    }
    if (json)
        session.PrintJson({{"readers", readers}});
    if (!any)
        std::fprintf(stderr, "kelvara: readers: no reader answers in any of the places listed\n");
    return any ? kOk : kFailed;
}

} // namespace

void AddReaderListCommand(CLI::App &app, Step &step)
{
    app.add_subcommand("readers",
                       std::string("list every place the library looks for each reader and which answers; asking "
                                   "changes nothing and takes ") +
                           kProbeTimes)
        ->group("Card reader")
        ->callback([&step] { step = ListReaders; });
}

} // namespace kelvara::tool
