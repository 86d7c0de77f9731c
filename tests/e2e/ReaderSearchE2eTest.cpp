// Finding readers the way card-reader users expect: waiting for a card,
// finding a USB serial adapter again under its new name after it was plugged
// back in, a reader given for one run, and the listing of every place the
// library looks.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ToolRun.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <thread>

namespace kelvara::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kIdRetry = 4;

long MsSince(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// USB serial adapters as sysfs and /dev show them, below the WQN_DEVICE_ROOT
// every scenario gets: the tty's device under a USB device with its ids.
class UsbSerialAdapters {
public:
    explicit UsbSerialAdapters(fs::path root)
        : root_(std::move(root))
    {
    }
    void Plug(const std::string &tty, const std::string &pty) const
    {
        const fs::path usb = root_ / "sys/devices/usb1/1-1";
        const fs::path port = usb / "1-1:1.0" / tty;
        fs::create_directories(port);
        fs::create_directories(root_ / "sys/class/tty" / tty);
        fs::create_directories(root_ / "dev");
        WriteFile(usb / "idVendor", "1a86\n");
        WriteFile(usb / "idProduct", "7523\n");
        WriteFile(usb / "manufacturer", "WQN\n");
        WriteFile(usb / "product", "USB Serial\n");
        fs::create_symlink(port, root_ / "sys/class/tty" / tty / "device");
        fs::create_symlink(pty, Device(tty));
    }
    void Unplug(const std::string &tty) const
    {
        fs::remove_all(root_ / "sys/class/tty" / tty);
        fs::remove(Device(tty));
    }
    std::string Device(const std::string &tty) const { return (root_ / "dev" / tty).string(); }

private:
    fs::path root_;
};

class ReaderSearchE2e : public E2eTest {
protected:
    UsbSerialAdapters adapters{scratch.File("devices")};
};

struct WaitCase {
    const char *name;
    bool reader;
    bool cardAtStart;
    int insertAfterMs; // < 0: never
    int timeoutMs;
    int expected;
    long atLeastMs; // the call lasts at least this long
};

class WaitForCardE2e : public ReaderSearchE2e, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForCardE2e, TellsWhetherACardCameInTime)
{
    const WaitCase &c = GetParam();
    std::optional<SerialSim> sim;
    if (c.reader) {
        sim.emplace(SimArgs(c.cardAtStart ? std::vector<std::string>{} : std::vector<std::string>{"--no-card", "Q"}));
        UseReaderOn(1, *sim);
    }
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        std::thread inserter;
        if (c.insertAfterMs >= 0) {
            inserter = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.insertAfterMs));
                sim->InsertCard();
            });
        }
        const auto start = Clock::now();
        EXPECT_EQ(KelvaraWaitForCard(c.timeoutMs), c.expected);
        const long took = MsSince(start);
        if (inserter.joinable())
            inserter.join();
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LT(took, std::max(c.timeoutMs, 0) + 3000); // the search and one last poll
        EXPECT_TRUE(user.prompts.empty()); // never a message box
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, WaitForCardE2e,
                         ::testing::Values(WaitCase{"CardPresent", true, true, -1, 5000, 0, 0},
                                           WaitCase{"CardInsertedLater", true, false, 700, 8000, 0, 700},
                                           WaitCase{"NoCardInTime", true, false, -1, 600, 1, 600},
                                           WaitCase{"NoReader", false, false, -1, 600, -1, 0},
                                           WaitCase{"NegativeTimeout", true, true, -1, -1, -1, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// The adapter the reader hangs on comes back as ttyUSB1 while the stored
// port is ttyUSB0: the search finds it again, at the prompt's retry or at the
// next call.
class ReplugE2e : public ReaderSearchE2e, public ::testing::WithParamInterface<bool> {};

TEST_P(ReplugE2e, FindsTheAdapterUnderItsNewName)
{
    if (wqn::host::runner::UnderWine())
        GTEST_SKIP() << "the adapters are Linux's sysfs";
    const bool atRetry = GetParam();
    std::optional<SerialSim> first(SimArgs());
    std::optional<SerialSim> second;
    adapters.Plug("ttyUSB0", first->Path());
    const auto plugBack = [&] {
        second.emplace(SimArgs());
        adapters.Plug("ttyUSB1", second->Path());
    };
    InFreshProcess([&] {
        UserScript user;
        user.Install();
        ASSERT_EQ(TS_CheckKelvara(), 0);
        EXPECT_EQ(Setting("ComPortName"), adapters.Device("ttyUSB0"));
        first.reset();
        adapters.Unplug("ttyUSB0");
        if (atRetry) {
            user.answer = [&](const Prompt &) {
                plugBack();
                return kIdRetry;
            };
        } else {
            plugBack();
            TS_ReleaseKelvara();
        }
        EXPECT_EQ(TS_CheckKelvara(), 0);
        EXPECT_EQ(user.prompts.size(), atRetry ? 1U : 0U);
    });
    EXPECT_EQ(Setting("ComPortName"), adapters.Device("ttyUSB1"));
}

INSTANTIATE_TEST_SUITE_P(Paths, ReplugE2e, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "AtRetry" : "AtNextCall"; });

kelvara::testing::ToolRun RunTool(const Scratch &scratch, std::vector<std::string> args)
{
    return kelvara::testing::RunProgram(KELVARA_TOOL_PATH, std::move(args), scratch.path(), HostEnvironment());
}

// --reader and --port: only what they name is tried, and the settings stay
// as they were.
struct OverrideCase {
    const char *name;
    std::vector<std::string> options; // "PTY" stands for the simulator's port
    int expected;
};

class ReaderForOneRunE2e : public ReaderSearchE2e, public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(ReaderForOneRunE2e, UsesOnlyTheReaderGivenAndStoresNothing)
{
    if (wqn::host::runner::UnderWine())
        GTEST_SKIP() << "the tool runs natively";
    SerialSim sim(SimArgs());
    UseReaderOn(2, sim); // the library's own search would find it on com2
    StoreSettingText("ComPortName", "com3");
    const std::string before = ReadFile(settings);
    std::vector<std::string> args;
    for (const std::string &option : GetParam().options)
        args.push_back(option == "PTY" ? sim.Path() : option);
    args.push_back("check");
    const auto run = RunTool(scratch, args);
    EXPECT_EQ(run.status, GetParam().expected) << run.err;
    EXPECT_EQ(ReadFile(settings), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderForOneRunE2e,
                         ::testing::Values(OverrideCase{"PortFindsTheReader", {"--port", "PTY"}, 0},
                                           OverrideCase{"SerialOnThatPort", {"--reader", "serial", "--port", "PTY"}, 0},
                                           OverrideCase{"OnlyTheGivenPort", {"--port", "com1"}, 1},
                                           OverrideCase{"OnlyTheGivenReader", {"--reader", "usb"}, 1},
                                           OverrideCase{"UnknownReader", {"--reader", "floppy"}, 2},
                                           OverrideCase{
                                               "PortOfAVendorReader", {"--reader", "gc481", "--port", "PTY"}, 2}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReaderSearchE2e, ReadersListsEveryPlaceAndWhoAnswers)
{
    if (wqn::host::runner::UnderWine())
        GTEST_SKIP() << "the tool runs natively";
    SerialSim sim(SimArgs({"--no-card", "Q"}));
    adapters.Plug("ttyUSB0", sim.Path());
    const std::string before = ReadFile(settings);
    auto run = RunTool(scratch, {"readers", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    const auto &serial = doc.at("readers").at(0);
    ASSERT_EQ(serial.at("reader"), "serial");
    std::map<std::string, std::string> answers;
    for (const auto &port : serial.at("ports"))
        answers[port.at("port")] = port.at("answer");
    EXPECT_EQ(answers.at(adapters.Device("ttyUSB0")), "no card") << run.out;
    EXPECT_EQ(answers.at("com1"), "unopened") << run.out;
    EXPECT_EQ(serial.at("ports").back().at("usb"), "WQN USB Serial (1a86:7523)") << run.out;
    std::vector<std::string> kinds;
    for (const auto &reader : doc.at("readers"))
        kinds.push_back(reader.at("reader"));
    EXPECT_EQ(kinds, (std::vector<std::string>{"serial", "usb", "gc481", "mcs"}));
    EXPECT_EQ(ReadFile(settings), before);

    sim.Stop();
    run = RunTool(scratch, {"readers"});
    EXPECT_EQ(run.status, 1); // nothing answers: no success on nothing
    EXPECT_NE(run.err.find("no reader answers"), std::string::npos) << run.err;
}

} // namespace
} // namespace kelvara::e2e
