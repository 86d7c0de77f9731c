// The scenario harness of the reader end-to-end tests.
#include "tests/e2e_readers/ReaderScenario.h"

#include "kelvara/services/Settings.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kelvara::testing {

namespace fs = std::filesystem;

ReaderScenario::ReaderScenario()
{
    std::string pattern = (fs::temp_directory_path() / "kelvara-e2e-readers-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    bin_ = dir_ / "bin";
    fs::create_directory(bin_);
    fs::copy_file(KELVARA_READERS_DRIVER, bin_ / "kelvara-readers-driver");
    fs::permissions(bin_ / "kelvara-readers-driver", fs::perms::owner_all);

    // The test process reads and writes the same settings file.
    ::setenv("KELVARA_SETTINGS", (dir_ / "settings.ini").string().c_str(), 1);
    env_["KELVARA_SETTINGS"] = (dir_ / "settings.ini").string();
    env_["WQN_COM1"] = (dir_ / "no-com1").string();
    env_["WQN_COM2"] = (dir_ / "no-com2").string();
    env_["WQN_USB_READER"] = (dir_ / "no-usb.sock").string();
    env_["E2E_LOG"] = LogPath();
    env_["WQN_GC481_LOG"] = LogPath();
    env_["WQN_MCS_LOG"] = LogPath();
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char *v = std::getenv(keep))
            env_[keep] = v;
    }
}

ReaderScenario::~ReaderScenario()
{
    usb_.Terminate();
    serial_.Terminate();
    stopLine_.store(true);
    if (line_.joinable())
        line_.join();
    if (lineMaster_ >= 0)
        ::close(lineMaster_);
    if (lineSlave_ >= 0)
        ::close(lineSlave_);
    ::unsetenv("KELVARA_SETTINGS");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void ReaderScenario::Store(const char *name, int value) { WriteSettingInt(name, value); }
int ReaderScenario::Stored(const char *name, int fallback) const { return ReadSettingInt(name, fallback); }

void ReaderScenario::WithMcs(const std::string &ports, const std::string &autoTest)
{
    fs::create_symlink(MCS_SR_SIM_PATH, bin_ / "libmcs_sr.so");
    env_["WQN_MCS_PORTS"] = ports;
    env_["WQN_MCS_AUTOTEST"] = autoTest;
    env_["WQN_MCS_IMAGE"] = Image();
}

void ReaderScenario::WithGc481(const std::string &ports, const std::string &status)
{
    env_["LD_LIBRARY_PATH"] = fs::path(GCIC32_SIM_PATH).parent_path().string();
    env_["WQN_GC481_PORTS"] = ports;
    env_["WQN_GC481_STATUS"] = status;
    env_["WQN_GC481_IMAGE"] = Image();
}

void ReaderScenario::WithUsb(const std::vector<std::string> &options)
{
    const std::string socket = (dir_ / "usb.sock").string();
    std::vector<std::string> argv = {KELVARA_USB_SIM, "--socket", socket, "--image", Image(), "--log", LogPath()};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(usb_.Start(argv, {}));
    std::string line;
    ASSERT_TRUE(usb_.ReadLine(&line, 10000)) << "the USB simulator did not start";
    ASSERT_EQ(line, socket);
    env_["WQN_USB_READER"] = socket;
}

void ReaderScenario::StopUsb()
{
    usb_.Terminate();
    env_["WQN_USB_READER"] = (dir_ / "no-usb.sock").string();
}

void ReaderScenario::WithSerialSim()
{
    ASSERT_TRUE(serial_.Start({KELVARA_SERIAL_SIM, "--image", Image()}, {}));
    std::string pty;
    ASSERT_TRUE(serial_.ReadLine(&pty, 10000)) << "the serial simulator did not start";
    env_["WQN_COM1"] = pty;
}

void ReaderScenario::StopSerialSim()
{
    serial_.Terminate();
    env_["WQN_COM1"] = (dir_ / "no-com1").string();
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
    env_["WQN_COM1"] = slave;
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

ReaderScenario::Run ReaderScenario::RunDriver(const std::vector<std::string> &commands, int timeoutMs)
{
    std::vector<std::string> argv = {(bin_ / "kelvara-readers-driver").string()};
    argv.insert(argv.end(), commands.begin(), commands.end());
    std::vector<std::string> env;
    for (const auto &[name, value] : env_)
        env.push_back(name + "=" + value);
    Run run;
    wqn::sim::ChildProcess driver;
    if (!driver.Start(argv, env))
        return run;
    std::string out;
    run.finished = driver.Finish(&out, timeoutMs);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        run.lines.push_back(line);
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
