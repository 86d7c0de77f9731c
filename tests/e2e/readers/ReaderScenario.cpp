// The scenario harness of the reader end-to-end tests.
#include "tests/e2e/readers/ReaderScenario.h"

#include "tests/remote/RemoteKelvara.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kelvara::testing {

namespace fs = std::filesystem;
using namespace kelvara::remote;
using wqn::host::runner::HostPath;
using wqn::host::runner::UnderWine;
using wqn::host::runner::WineBuildFile;

namespace {

// The simulators get an empty environment: nothing of the test process's
// reaches them.
ChildOptions SimulatorOptions()
{
    ChildOptions options;
    options.inheritEnvironment = false;
    return options;
}

} // namespace

ReaderScenario::ReaderScenario()
{
    bin_ = dir_ / "bin";
    fs::create_directory(bin_);
    const fs::path host =
        UnderWine() ? fs::path(WineBuildFile("tests/remote/kelvara-host-usb.exe")) : fs::path(KELVARA_HOST_PATH);
    fs::copy_file(host, bin_ / host.filename());
    fs::permissions(bin_ / host.filename(), fs::perms::owner_all);

    ResetHostEnvironment();
    Env("KELVARA_SETTINGS", (dir_ / "settings.ini").string());
    Env("WQN_USB_READER", (dir_ / "no-usb.sock").string());
    Env("WQN_GC481_LOG", HostPath(LogPath()));
    Env("WQN_MCS_LOG", HostPath(LogPath()));
    MapPort(1, (dir_ / "no-com1").string());
    MapPort(2, (dir_ / "no-com2").string());
    ClearSettings();
}

ReaderScenario::~ReaderScenario()
{
    relay_.reset();
    usb_.Terminate();
    serial_.Terminate();
    stopLine_.store(true);
    if (line_.joinable())
        line_.join();
    if (lineMaster_ >= 0)
        ::close(lineMaster_);
    if (lineSlave_ >= 0)
        ::close(lineSlave_);
    ResetHostEnvironment();
}

void ReaderScenario::Env(const std::string &name, const std::string &value) { SetHostEnvironment(name, value); }

std::string ReaderScenario::Host() const
{
    return (bin_ / (UnderWine() ? "kelvara-host-usb.exe" : fs::path(KELVARA_HOST_PATH).filename().string())).string();
}

void ReaderScenario::Store(const char *name, int value) { StoreSetting(name, value); }

int ReaderScenario::Stored(const char *name, int fallback) const
{
    const auto value = StoredSetting(name);
    return value ? std::atoi(value->c_str()) : fallback;
}

void ReaderScenario::WithMcs(const std::string &ports, const std::string &autoTest)
{
    // Beside the program that loads the library.
    if (UnderWine())
        fs::copy_file(WineBuildFile("sim/mcs/MCS_SR.DLL"), bin_ / "MCS_SR.DLL", fs::copy_options::overwrite_existing);
    else
        fs::create_symlink(MCS_SR_SIM_PATH, bin_ / "libmcs_sr.so");
    Env("WQN_MCS_PORTS", ports);
    Env("WQN_MCS_AUTOTEST", autoTest);
    Env("WQN_MCS_IMAGE", HostPath(Image()));
}

void ReaderScenario::WithGc481(const std::string &ports, const std::string &status)
{
    // On the loader's search path.
    if (UnderWine())
        Env("WINEPATH", HostPath(WineBuildFile("sim/gc481/gcic32")));
    else
        Env("LD_LIBRARY_PATH", fs::path(GCIC32_SIM_PATH).parent_path().string());
    Env("WQN_GC481_PORTS", ports);
    Env("WQN_GC481_STATUS", status);
    Env("WQN_GC481_IMAGE", HostPath(Image()));
}

void ReaderScenario::WithUsb(const std::vector<std::string> &options)
{
    const std::string socket = (dir_ / "usb.sock").string();
    std::vector<std::string> argv = {KELVARA_USB_SIM, "--socket", socket, "--image", Image(), "--log", LogPath()};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(usb_.Start(argv, SimulatorOptions()));
    std::string line;
    ASSERT_TRUE(usb_.ReadLine(&line, 10000)) << "the USB simulator did not start";
    ASSERT_EQ(line, socket);
    if (UnderWine()) {
        relay_ = std::make_unique<wqn::host::TcpRelay>(socket);
        ASSERT_NE(relay_->Port(), 0) << "the relay to the USB simulator did not start";
        Env("WQN_USB_READER_TCP", "127.0.0.1:" + std::to_string(relay_->Port()));
    } else {
        Env("WQN_USB_READER", socket);
    }
}

void ReaderScenario::StopUsb()
{
    relay_.reset();
    usb_.Terminate();
    Env("WQN_USB_READER", (dir_ / "no-usb.sock").string());
    Env("WQN_USB_READER_TCP", "");
}

void ReaderScenario::WithSerialSim()
{
    ASSERT_TRUE(serial_.Start({KELVARA_SERIAL_SIM, "--image", Image()}, SimulatorOptions()));
    std::string pty;
    ASSERT_TRUE(serial_.ReadLine(&pty, 10000)) << "the serial simulator did not start";
    MapPort(1, pty);
}

void ReaderScenario::StopSerialSim()
{
    serial_.Terminate();
    MapPort(1, (dir_ / "no-com1").string());
}

void ReaderScenario::WithSilentSerial()
{
    lineMaster_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(lineMaster_, 0);
    ASSERT_EQ(::grantpt(lineMaster_), 0);
    ASSERT_EQ(::unlockpt(lineMaster_), 0);
    const std::string slave = ::ptsname(lineMaster_);
    // Held open so the line survives the host's closes.
    lineSlave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(lineSlave_, 0);
    MapPort(1, slave);
    line_ = std::thread([this] { SilentLoop(lineMaster_); });
}

void ReaderScenario::SilentLoop(int master)
{
    while (!stopLine_.load()) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char bytes[256];
        const ssize_t n = ::read(master, bytes, sizeof bytes);
        if (n <= 0)
            continue;
        const int fd = ::open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string text = "serial rx " + std::to_string(n) + "\n";
            [[maybe_unused]] const ssize_t w = ::write(fd, text.data(), text.size());
            ::close(fd);
        }
    }
}

std::string ReaderScenario::Run::Line(const std::string &command) const
{
    for (const auto &line : lines) {
        if (line.rfind(command + " ", 0) == 0 || line == command)
            return line;
    }
    return {};
}

bool ReaderScenario::Run::Saw(const std::string &text) const
{
    for (const auto &line : lines) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

namespace {

int OnBox(void *run, const char *text, const char *, unsigned int type)
{
    static_cast<std::vector<std::string> *>(run)->push_back("box " + std::to_string(type) + " " + text);
    return (type & 0xF) == 0x0 ? 1 : 2;
}

void OnNotice(void *run, int op, const char *text)
{
    static_cast<std::vector<std::string> *>(run)->push_back("notice " + std::to_string(op) + " " + text);
}

} // namespace

ReaderScenario::Run ReaderScenario::RunDriver(const std::vector<std::string> &commands)
{
    Run run;
    LibraryProcess process(Host(), bin_.string());
    KelvaraSetMessageBoxHandler(&OnBox, &run.lines);
    KelvaraSetNoticeHandler(&OnNotice, &run.lines);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string &command = commands[i];
        const auto next = [&]() -> std::string { return i + 1 < commands.size() ? commands[++i] : ""; };
        if (command == "check") {
            run.lines.push_back("check " + std::to_string(TS_CheckKelvara()));
        } else if (command == "version") {
            char text[64] = "unset";
            TS_GetVersion(text);
            run.lines.push_back(std::string("version ") + text);
        } else if (command == "lock") {
            run.lines.push_back("lock " + std::to_string(TS_IcCardLock()));
        } else if (command == "exit") {
            run.lines.push_back("exit " + std::to_string(TS_IcCardExit()));
        } else if (command == "format") {
            run.lines.push_back("format " + std::to_string(TS_Format()));
        } else if (command == "release") {
            TS_ReleaseKelvara();
            run.lines.push_back("release 0");
        } else if (command == "write") {
            const std::string directory = next();
            const std::string file = next();
            run.lines.push_back("write " + std::to_string(TS_WriteIcFiles(directory.c_str(), file.c_str())));
        } else if (command == "read") {
            const std::string directory = next();
            const std::string pattern = next();
            char names[4096] = "";
            const int r = TS_ReadIcFiles(directory.c_str(), pattern.c_str(), names);
            run.lines.push_back("read " + std::to_string(r) + " " + names);
        } else if (command == "mark") {
            std::ofstream(LogPath(), std::ios::app) << "mark " << next() << "\n";
            run.lines.push_back("mark 0");
        } else {
            ADD_FAILURE() << "unknown scenario command " << command;
        }
    }
    if (UnderWine()) {
        const wqn::host::Tokens breaches = process.Host().Call({"usb-breaches"});
        EXPECT_TRUE(breaches.empty()) << "the USB transport broke the driver's rules: "
                                      << wqn::host::JoinLine(breaches);
    }
    run.finished = process.Finish() == 0;
    return run;
}

std::vector<std::string> ReaderScenario::LogLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(LogPath());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> ReaderScenario::Attempts() const
{
    std::vector<std::string> attempts;
    std::string previous;
    for (const auto &line : LogLines()) {
        const std::string who = line.substr(0, line.find(' '));
        if (line == "usb close" || who == "mark")
            continue; // a close is noticed late, at any moment
        if (who == "usb" ? line == "usb open" : who != previous)
            attempts.push_back(who);
        previous = who;
    }
    return attempts;
}

} // namespace kelvara::testing
