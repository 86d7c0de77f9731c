// The kelvara-serial-sim program as a user runs it: it prints its port,
// answers the library, logs frames, and keeps the card between runs.
#include "kelvara/serial/SerialReader.h"

#include "PtyTestSupport.h"
#include "kelvara/frame/Settings.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace kelvara {
namespace {

using testing::ScopedEnv;
using testing::ScratchDir;

// One run of the simulator program; stopped with SIGTERM at the end.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        args.insert(args.begin(), KELVARA_SERIAL_SIM_PATH);
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        // The first line is the port's path; bounded by a 10 s poll.
        char c;
        pollfd p {fds[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            path_ += c;
        }
        ::close(fds[0]);
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    const std::string &Path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::string path_;
};

TEST(SerialSimProgram, ServesTheLibraryAndKeepsTheCardBetweenRuns)
{
    ScratchDir dir;
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
    ScratchDir dir;
    ScopedEnv settings("KELVARA_SETTINGS", dir.File("settings.ini"));
    ScopedEnv com2("WQN_COM2", dir.File("absent"));
    SimProcess sim({"--no-card", "S", "--speed", "115200"});
    ScopedEnv com1("WQN_COM1", sim.Path());
    SerialReader reader;
    EXPECT_EQ(reader.QueryStatus(), reply::kFailed);  // no port open yet
    EXPECT_EQ(reader.ConnectAtPort("com1"), 1);
    EXPECT_EQ(reader.QueryStatus(), reply::kNoCardS);
}

} // namespace
} // namespace kelvara
