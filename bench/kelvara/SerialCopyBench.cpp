// kelvara-serial-bench: copies a 64 KiB file onto a card and back through
// libkelvara.so and the serial reader simulator paced at 115200 bit/s, and
// sets the time against the line's own limit (the bytes that crossed the
// wire at 11,520 bytes/s) and the CPU this process used meanwhile.
//
// Targets: at least 0.90 of the line limit, under 5% CPU. The program
// reports either way; it fails only when a call fails or the file read back
// differs from the one written.
#include "kelvara.h"
#include "sim/common/ChildProcess.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

constexpr std::size_t kFileSize = 64 * 1024;
constexpr double kLineBytesPerSecond = 11520.0; // 115200 bit/s, 10 bits a byte
constexpr double kRatioTarget = 0.90;
constexpr double kCpuTarget = 5.0; // percent of wall time

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

    double LineLimit() const { return double(wire.bytes) / kLineBytesPerSecond; }
    double Ratio() const { return wall > 0 ? LineLimit() / wall : 0; }
    double CpuPercent() const { return wall > 0 ? 100.0 * cpu / wall : 0; }
};

void PrintRow(const Leg &leg)
{
    std::printf("%-8s %10zu %8zu %12.3f %12.3f %8.3f %10.3f %8.2f%%\n", leg.name, leg.wire.bytes, leg.wire.frames,
                leg.wall, leg.LineLimit(), leg.Ratio(), leg.cpu, leg.CpuPercent());
}

std::vector<std::string> g_boxes;

int Fail(const std::string &what)
{
    std::fprintf(stderr, "kelvara-serial-bench: %s\n", what.c_str());
    for (const std::string &box : g_boxes)
        std::fprintf(stderr, "  message box: %s\n", box.c_str());
    return 1;
}

} // namespace

int main()
{
    Scratch scratch;
    if (!scratch.Ok())
        return Fail("no temporary directory");
    const std::string image = scratch.File("card.img");
    const std::string log = scratch.File("wire.log");
    const std::string settings = scratch.File("settings.ini");
    const std::string data = scratch.File("data.bin");
    const fs::path out = scratch.Path() / "out";
    fs::create_directories(out);

    std::string content(kFileSize, '\0');
    std::uint32_t x = 0x2545F491u;
    for (char &c : content) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x & 0xFF);
    }
    if (!WriteFile(data, content))
        return Fail("cannot write " + data);

    SerialSim sim({"--pace", "--image", image, "--log", log});
    if (sim.Path().empty())
        return Fail("the simulator did not start (" KELVARA_SERIAL_SIM_PATH ")");

    ::setenv("KELVARA_SETTINGS", settings.c_str(), 1);
    ::setenv("WQN_COM1", sim.Path().c_str(), 1);
    for (int n = 2; n <= 6; ++n)
        ::setenv(("WQN_COM" + std::to_string(n)).c_str(), scratch.File("no-port-" + std::to_string(n)).c_str(), 1);
    ::unsetenv("WQN_USB_READER");

    // Any box is a failure here: answer it with Cancel (OK for an OK-only box)
    // and note its text.
    KelvaraSetMessageBoxHandler(
        [](void *, const char *text, const char *, unsigned type) {
            g_boxes.emplace_back(text != nullptr ? text : "");
            return (type & 0xF) == 0 ? 1 : 2;
        },
        nullptr);
    KelvaraSetNoticeHandler([](void *, int, const char *) {}, nullptr);

    std::printf("kelvara-serial-bench: %zu KiB onto the card and back, simulator paced (pty %s)\n", kFileSize / 1024,
                sim.Path().c_str());
    std::fflush(stdout);

    if (TS_CheckKelvara() != 0)
        return Fail("TS_CheckKelvara failed");
    if (TS_Format() != 0)
        return Fail("TS_Format failed");

    // The copy's own traffic starts here in the log (each line is written
    // and flushed as it happens).
    const std::size_t mark0 = fs::file_size(log);

    Leg write("write");
    double cpu0 = CpuSeconds();
    auto t0 = SteadyClock::now();
    const int wrote = TS_WriteIcFiles("\\bench", data.c_str());
    write.wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    write.cpu = CpuSeconds() - cpu0;
    if (wrote != 0)
        return Fail("TS_WriteIcFiles failed");
    const std::size_t mark1 = fs::file_size(log);

    Leg read("read");
    char names[4096] = {};
    const std::string outDir = out.string() + "/";
    cpu0 = CpuSeconds();
    t0 = SteadyClock::now();
    const int got = TS_ReadIcFiles(outDir.c_str(), "\\bench\\data.bin", names);
    read.wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    read.cpu = CpuSeconds() - cpu0;
    if (got != 0)
        return Fail("TS_ReadIcFiles failed");
    const std::size_t mark2 = fs::file_size(log);

    TS_ReleaseKelvara();

    const std::string back = ReadFile(out / "data.bin");
    if (back != content)
        return Fail("the file read back differs (" + std::to_string(back.size()) + " bytes, names \"" + names + "\")");
    if (!g_boxes.empty())
        return Fail("the library showed a message box during the copy");

    const std::string logText = ReadFile(log);
    write.wire = CountWire(logText, mark0, mark1);
    read.wire = CountWire(logText, mark1, mark2);
    Leg total("total");
    total.wall = write.wall + read.wall;
    total.cpu = write.cpu + read.cpu;
    total.wire.bytes = write.wire.bytes + read.wire.bytes;
    total.wire.frames = write.wire.frames + read.wire.frames;
    total.wire.other = write.wire.other + read.wire.other;

    std::printf("\n%-8s %10s %8s %12s %12s %8s %10s %9s\n", "copy", "wire B", "frames", "elapsed s", "line limit s",
                "ratio", "cpu s", "cpu");
    PrintRow(write);
    PrintRow(read);
    PrintRow(total);
    std::printf("\nline limit = wire bytes / %.0f B/s; ratio = line limit / elapsed (target >= %.2f);\n"
                "cpu = user+sys of this process / elapsed (target < %.0f%%)\n\n",
                kLineBytesPerSecond, kRatioTarget, kCpuTarget);

    if (total.wire.other > 0) {
        std::printf("note: %zu log lines besides plain traffic during the copy, e.g.:\n", total.wire.other);
        for (const Leg *leg : {&write, &read})
            for (const std::string &line : leg->wire.otherLines)
                std::printf("  %s\n", line.c_str());
        std::printf("\n");
    }

    const bool ratioMet = total.Ratio() >= kRatioTarget;
    const bool cpuMet = total.CpuPercent() < kCpuTarget;
    std::printf("speed: %.3f of the line limit (target >= %.2f): target %s\n", total.Ratio(), kRatioTarget,
                ratioMet ? "met" : "missed");
    std::printf("cpu:   %.2f%% of wall time (target < %.0f%%): target %s\n", total.CpuPercent(), kCpuTarget,
                cpuMet ? "met" : "missed");
    return 0;
}
