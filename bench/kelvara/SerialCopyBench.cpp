// kelvara-serial-bench: at every speed of the serial reader (4800 to
// 115200 bit/s), through libkelvara.so and the simulator pacing the line,
//  - the time from TS_CheckKelvara to a connected reader, cold (the reader
//    at its power-on 4800 bit/s, no stored speed: a full negotiation) and
//    warm (the speed stored and the reader already at it), set against the
//    least the protocol's own waits and line times allow;
//  - a file sized to take about 10 s of line time copied onto the card and
//    back, each direction's time set against the line's own limit (the bytes
//    that crossed the wire at the speed's bytes per second) and the CPU this
//    process used meanwhile.
//
// Targets: at least 0.95 of the line limit in each direction at every speed,
// under 2% of a core. The program reports either way; it fails only when a
// call fails or the file read back differs from the one written.
//
// Usage: kelvara-serial-bench [SECONDS] (the line time each copy aims at,
// 10 by default; smaller for a quick look).
#include "kelvara.h"
#include "kelvara/readers/protocol/LineSpeeds.h"
#include "sim/common/ChildProgram.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto &kSpeeds = kelvara::kLineSpeeds;
constexpr double kRatioTarget = 0.95;
constexpr double kCpuTarget = 2.0; // percent of one core
// A page written: WRTE frame (12), its reply (7), 264 data bytes and 2 check
// bytes, the reply to the data (7); read: READ frame (12), reply (5 + 264 + 2).
constexpr double kFileBytesPerWireByte = 258.0 / (12 + 7 + 266 + 7);
// STAT and its reply; BDRT and its reply.
constexpr int kStatExchangeBytes = 12 + 7;
// The wait after reopening the port at a negotiated speed: more than 200 ms.
constexpr double kSettleWaitMs = 201;

double LineMs(double bytes, std::uint32_t baud) { return bytes * 10.0 * 1000.0 / baud; }

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const fs::path &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return bool(out);
}

// A directory of its own, removed at the end.
class Scratch {
public:
    Scratch()
    {
        std::string templ = (fs::temp_directory_path() / "kelvara-bench-XXXXXX").string();
        if (::mkdtemp(templ.data()) != nullptr)
            path_ = templ;
    }
    ~Scratch()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    bool Ok() const { return !path_.empty(); }
    std::string File(const std::string &name) const { return (path_ / name).string(); }
    const fs::path &Path() const { return path_; }

private:
    fs::path path_;
};

// kelvara-serial-sim as a child program; its first line of output is the
// pty's path. Stopped when this object goes.
class SerialSim : public wqn::sim::SimulatorProgram {
public:
    explicit SerialSim(std::vector<std::string> args)
        : SimulatorProgram(KELVARA_SERIAL_SIM_PATH, std::move(args))
    {
    }
    const std::string &Path() const { return Port(); }
};

// What the simulator's log says about a stretch of traffic.
struct WireCount {
    std::size_t bytes = 0; // every byte of RX, TX and RXDATA lines
    std::size_t frames = 0; // RX lines: frames the reader took in
    std::size_t other = 0; // anything that is not plain traffic (BAD, LOST, SILENT, ...)
    std::vector<std::string> otherLines;
};

// Counts the log lines from byte `from` to byte `to` of the log file.
WireCount CountWire(const std::string &log, std::size_t from, std::size_t to)
{
    WireCount count;
    std::istringstream in(log.substr(from, to - from));
    for (std::string line; std::getline(in, line);) {
        std::string hex;
        if (line.rfind("RX ", 0) == 0) {
            hex = line.substr(3);
            ++count.frames;
        } else if (line.rfind("TX ", 0) == 0) {
            hex = line.substr(3);
        } else if (line.rfind("RXDATA ", 0) == 0) {
            hex = line.substr(7);
        } else {
            if (!line.empty()) {
                ++count.other;
                if (count.otherLines.size() < 5)
                    count.otherLines.push_back(line);
            }
            continue;
        }
        std::istringstream bytes(hex);
        for (std::string b; bytes >> b;)
            ++count.bytes;
    }
    return count;
}

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Leg {
    explicit Leg(const char *n)
        : name(n)
    {
    }
    const char *name;
    double wall = 0; // seconds
    double cpu = 0; // seconds
    WireCount wire;

    double bytesPerSecond = 0; // of the line
    double LineLimit() const { return bytesPerSecond > 0 ? double(wire.bytes) / bytesPerSecond : 0; }
    double Ratio() const { return wall > 0 ? LineLimit() / wall : 0; }
    double CpuPercent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

void PrintRow(std::uint32_t baud, const Leg &leg, std::size_t fileBytes)
{
    std::printf("%7u %-6s %9zu %9zu %7zu %10.3f %10.3f %7.3f %8.3f %7.2f%%\n", baud, leg.name, fileBytes,
                leg.wire.bytes, leg.wire.frames, leg.wall, leg.LineLimit(), leg.Ratio(), leg.cpu, leg.CpuPercent());
}

std::vector<std::string> g_boxes;

int Fail(const std::string &what)
{
    std::fprintf(stderr, "kelvara-serial-bench: %s\n", what.c_str());
    for (const std::string &box : g_boxes)
        std::fprintf(stderr, "  message box: %s\n", box.c_str());
    return 1;
}

std::string Content(std::size_t size, std::uint32_t seed)
{
    std::string content(size, '\0');
    std::uint32_t x = 0x2545F491u ^ seed;
    for (char &c : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x & 0xFF);
    }
    return content;
}

void WriteSettings(const std::string &path, int maxIndex, int storedIndex)
{
    WriteFile(path,
              "[Settings]\nPortMode=1\nComPortName=com1\nBaudRateMax=" + std::to_string(maxIndex) +
                  "\nBaudRateIndex=" + std::to_string(storedIndex) + "\n");
}

// Milliseconds a TS_CheckKelvara takes to a ready reader; negative on failure.
double TimedCheck()
{
    const auto t0 = SteadyClock::now();
    const int r = TS_CheckKelvara();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    return r == 0 ? ms : -1;
}

struct SpeedResult {
    std::uint32_t baud = 0;
    double coldMs = 0, coldLeastMs = 0, warmMs = 0, warmLeastMs = 0;
    std::size_t fileBytes = 0;
    Leg write{"write"};
    Leg read{"read"};
};

// One speed: connect cold, copy a file on and off, connect warm.
int RunSpeed(const Scratch &scratch, int index, double seconds, SpeedResult &result)
{
    const std::uint32_t baud = kSpeeds[index];
    result.baud = baud;
    const std::string tag = std::to_string(baud);
    const std::string image = scratch.File("card-" + tag + ".img");
    const std::string log = scratch.File("wire-" + tag + ".log");
    const std::string settings = scratch.File("settings-" + tag + ".ini");
    const std::string data = scratch.File("data-" + tag + ".bin");
    const fs::path out = scratch.Path() / ("out-" + tag);
    fs::create_directories(out);

    const double lineBytesPerSecond = baud / 10.0;
    const auto pages = std::size_t(seconds * lineBytesPerSecond * kFileBytesPerWireByte / 258.0 + 0.5);
    result.fileBytes = std::max<std::size_t>(1, pages) * 258;
    const std::string content = Content(result.fileBytes, baud);
    if (!WriteFile(data, content))
        return Fail("cannot write " + data);

    // The reader starts at 4800 bit/s as after power-on; nothing stored.
    SerialSim sim({"--pace", "--image", image, "--log", log});
    if (sim.Path().empty())
        return Fail("the simulator did not start (" KELVARA_SERIAL_SIM_PATH ")");
    ::setenv("KELVARA_SETTINGS", settings.c_str(), 1);
    ::setenv("WQN_COM1", sim.Path().c_str(), 1);
    WriteSettings(settings, index, 0); // index 0 stored: no quick reuse, a full negotiation

    // Cold: BDRT at 4800 bit/s, reopen at the new speed, the wait of more
    // than 200 ms, STAT; then Connect's own STAT. At 4800 bit/s no BDRT is
    // sent and no wait is made: one STAT.
    result.coldLeastMs = index == 0
        ? LineMs(kStatExchangeBytes, baud)
        : LineMs(kStatExchangeBytes, 4800) + kSettleWaitMs + 2 * LineMs(kStatExchangeBytes, baud);
    // Warm: the stored speed straight away, STAT, and Connect's STAT (at
    // 4800 bit/s, as cold: the stored index 0 skips the quick reuse).
    result.warmLeastMs = index == 0 ? LineMs(kStatExchangeBytes, baud) : 2 * LineMs(kStatExchangeBytes, baud);

    result.coldMs = TimedCheck();
    if (result.coldMs < 0)
        return Fail("TS_CheckKelvara (cold) failed at " + tag);
    if (TS_Format() != 0)
        return Fail("TS_Format failed at " + tag);

    result.write.bytesPerSecond = result.read.bytesPerSecond = lineBytesPerSecond;
    const std::size_t mark0 = fs::file_size(log);
    double cpu0 = CpuSeconds();
    auto t0 = SteadyClock::now();
    const int wrote = TS_WriteIcFiles("\\bench", data.c_str());
    result.write.wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    result.write.cpu = CpuSeconds() - cpu0;
    if (wrote != 0)
        return Fail("TS_WriteIcFiles failed at " + tag);
    const std::size_t mark1 = fs::file_size(log);

    char names[4096] = {};
    const std::string outDir = out.string() + "/";
    const std::string cardName = "\\bench\\" + fs::path(data).filename().string();
    cpu0 = CpuSeconds();
    t0 = SteadyClock::now();
    const int got = TS_ReadIcFiles(outDir.c_str(), cardName.c_str(), names);
    result.read.wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    result.read.cpu = CpuSeconds() - cpu0;
    if (got != 0)
        return Fail("TS_ReadIcFiles failed at " + tag);
    const std::size_t mark2 = fs::file_size(log);
    TS_ReleaseKelvara();

    if (ReadFile(out / fs::path(data).filename()) != content)
        return Fail("the file read back differs at " + tag);
    if (!g_boxes.empty())
        return Fail("the library showed a message box at " + tag);
    const std::string logText = ReadFile(log);
    result.write.wire = CountWire(logText, mark0, mark1);
    result.read.wire = CountWire(logText, mark1, mark2);

    // Warm: the speed is stored now and the reader still runs at it.
    result.warmMs = TimedCheck();
    if (result.warmMs < 0)
        return Fail("TS_CheckKelvara (warm) failed at " + tag);
    TS_ReleaseKelvara();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(seconds > 0))
        return Fail("usage: kelvara-serial-bench [SECONDS]");
    Scratch scratch;
    if (!scratch.Ok())
        return Fail("no temporary directory");
    for (int n = 2; n <= 6; ++n)
        ::setenv(("WQN_COM" + std::to_string(n)).c_str(), scratch.File("no-port-" + std::to_string(n)).c_str(), 1);
    ::unsetenv("WQN_USB_READER");
    ::unsetenv("KELVARA_TRACE");

    // Any box is a failure here: answer it with Cancel (OK for an OK-only box)
    // and note its text.
    KelvaraSetMessageBoxHandler(
        [](void *, const char *text, const char *, unsigned type) {
            g_boxes.emplace_back(text != nullptr ? text : "");
            return (type & 0xF) == 0 ? 1 : 2;
        },
        nullptr);
    KelvaraSetNoticeHandler([](void *, int, const char *) {}, nullptr);

    std::printf("kelvara-serial-bench: every speed, simulator paced, copies of about %.0f s of line time\n", seconds);
    std::fflush(stdout);
    std::vector<SpeedResult> results;
    for (int index = 0; index < int(std::size(kSpeeds)); ++index) {
        SpeedResult r;
        if (const int failed = RunSpeed(scratch, index, seconds, r))
            return failed;
        results.push_back(r);
        std::printf("  %u bit/s done\n", r.baud);
        std::fflush(stdout);
    }

    std::printf("\n%7s %-6s %9s %9s %7s %10s %10s %7s %8s %8s\n", "bit/s", "copy", "file B", "wire B", "frames",
                "elapsed s", "limit s", "ratio", "cpu s", "cpu");
    bool ratioMet = true;
    bool cpuMet = true;
    std::size_t other = 0;
    for (const SpeedResult &r : results) {
        for (const Leg *leg : {&r.write, &r.read}) {
            PrintRow(r.baud, *leg, r.fileBytes);
            ratioMet = ratioMet && leg->Ratio() >= kRatioTarget;
            cpuMet = cpuMet && leg->CpuPercent() < kCpuTarget;
            other += leg->wire.other;
        }
    }
    std::printf("\nlimit = wire bytes / (bit/s / 10); ratio = limit / elapsed (target >= %.2f);\n"
                "cpu = user+sys of this process / elapsed (target < %.0f%% of a core)\n",
                kRatioTarget, kCpuTarget);
    if (other > 0)
        std::printf("note: %zu simulator log lines besides plain traffic during the copies\n", other);

    std::printf("\n%7s %10s %10s %7s %10s %10s %7s\n", "bit/s", "cold ms", "least ms", "ratio", "warm ms", "least ms",
                "ratio");
    for (const SpeedResult &r : results)
        std::printf("%7u %10.1f %10.1f %7.3f %10.1f %10.1f %7.3f\n", r.baud, r.coldMs, r.coldLeastMs,
                    r.coldLeastMs / r.coldMs, r.warmMs, r.warmLeastMs, r.warmLeastMs / r.warmMs);
    std::printf("\nleast = the protocol's waits and the line time of its frames; ratio = least / measured\n\n");
    std::printf("speed: every direction at every speed >= %.2f of the line limit: target %s\n", kRatioTarget,
                ratioMet ? "met" : "missed");
    std::printf("cpu:   every copy under %.0f%% of a core: target %s\n", kCpuTarget, cpuMet ? "met" : "missed");
    return 0;
}
