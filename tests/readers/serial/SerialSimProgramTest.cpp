// The kelvara-serial-sim program as a user runs it: it prints its port,
// answers the library, logs frames, and keeps the card between runs.
#include "kelvara/readers/serial/SerialReader.h"

#include "PtyTestSupport.h"
#include "kelvara/services/Settings.h"
#include "sim/common/ChildProgram.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/wait.h>

namespace kelvara {
namespace {

using testing::ScopedEnv;
using testing::ScratchDirectory;

// One run of the simulator program; stopped at the end.
class SimProcess : public wqn::sim::SimulatorProgram {
public:
    explicit SimProcess(std::vector<std::string> args)
        : SimulatorProgram(KELVARA_SERIAL_SIM_PATH, std::move(args))
    {
    }
    const std::string &Path() const { return Port(); }
};

TEST(SerialSimProgram, ServesTheLibraryAndKeepsTheCardBetweenRuns)
{
    ScratchDirectory dir{"kelvara-serial"};
    ScopedEnv settings("KELVARA_SETTINGS", dir.File("settings.ini"));
    ScopedEnv com2("WQN_COM2", dir.File("absent"));
    const std::string image = dir.File("card.img");
    const std::string log = dir.File("frames.log");
    std::vector<std::uint8_t> page(264);
    for (std::size_t i = 0; i < page.size(); ++i) {
        page[i] = std::uint8_t(255 - i);
    }
    {
        SimProcess sim({"--image", image, "--log", log, "--pace"});
        ASSERT_FALSE(sim.Path().empty());
        ScopedEnv com1("WQN_COM1", sim.Path());
        SerialReader reader;
        ASSERT_EQ(reader.Connect(), serial_connect::kReady);
        ASSERT_TRUE(reader.WriteBlock(100, 0, 264, page.data()));
    }
    std::ifstream frames(log);
    std::string line;
    bool sawBdrt = false;
    while (std::getline(frames, line)) {
        sawBdrt = sawBdrt || line == "RX 42 44 52 54 06 5A 5B 5C 5D 5E FE 58";
    }
    EXPECT_TRUE(sawBdrt);
    {
        // A new run starts at its power-up speed again: the stored speed is
        // lost and negotiated afresh.
        SimProcess sim({"--image", image});
        ScopedEnv com1("WQN_COM1", sim.Path());
        SerialReader reader;
        ASSERT_EQ(reader.Connect(), serial_connect::kReady);
        std::vector<std::uint8_t> back(264);
        ASSERT_TRUE(reader.ReadBlock(100, 0, 264, back.data()));
        EXPECT_EQ(back, page);
    }
    std::ifstream card(image, std::ios::binary | std::ios::ate);
    EXPECT_EQ(std::size_t(card.tellg()), 540672u);
}

TEST(SerialSimProgram, NoCardOptionAnswersWithTheChosenLetter)
{
    ScratchDirectory dir{"kelvara-serial"};
    ScopedEnv settings("KELVARA_SETTINGS", dir.File("settings.ini"));
    ScopedEnv com2("WQN_COM2", dir.File("absent"));
    SimProcess sim({"--no-card", "S", "--speed", "115200"});
    ScopedEnv com1("WQN_COM1", sim.Path());
    SerialReader reader;
    EXPECT_EQ(reader.QueryStatus(), reply::kFailed); // no port open yet
    EXPECT_EQ(reader.ConnectAtPort("com1"), 1);
    EXPECT_EQ(reader.QueryStatus(), reply::kNoCardS);
}

} // namespace
} // namespace kelvara
