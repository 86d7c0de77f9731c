// End-to-end support: the serial reader simulator as a child program, library
// processes (kelvara-host, natively or as a Windows program under Wine) that
// the scenarios drive through the remote TS_ functions, scripted message
// boxes and the notice, settings.
#pragma once

#include "sim/common/ChildProgram.h"
#include "tests/remote/RemoteKelvara.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace kelvara::e2e {

// The TS_ functions and the handler setters run in the current library
// process.
using namespace kelvara::remote;

inline std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A scratch directory of one scenario.
class Scratch : public testing::ScratchDirectory {
public:
    Scratch()
        : ScratchDirectory("kelvara-e2e")
    {
    }
};

// kelvara-serial-sim as a user starts it; stopped at the end of the test.
class SerialSim : public wqn::sim::SimulatorProgram {
public:
    explicit SerialSim(std::vector<std::string> args)
        : SimulatorProgram(KELVARA_SERIAL_SIM_PATH, std::move(args))
    {
    }
    const std::string &Path() const { return Port(); }
    void InsertCard() const { Signal(SIGUSR1); }
};

// The frames the simulator received (hex, "53 54 41 54 ..."), from its log.
inline std::vector<std::string> ReceivedFrames(const std::string &logPath)
{
    std::vector<std::string> frames;
    std::istringstream in(ReadFile(logPath));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("RX ", 0) == 0)
            frames.push_back(line.substr(3));
    }
    return frames;
}

inline std::vector<std::string> LogLines(const std::string &logPath, const std::string &kind)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(logPath));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(kind + " ", 0) == 0)
            lines.push_back(line.substr(kind.size() + 1));
    }
    return lines;
}

// A stored setting as the OS keeps it, or "" when absent.
inline std::string Setting(const std::string &name) { return StoredSetting(name).value_or(""); }

// What the library showed, and the answers a test scripts for it.
struct Prompt {
    std::string text;
    std::string caption;
    unsigned type;
};

struct UserScript {
    std::vector<Prompt> prompts;
    std::vector<std::pair<int, std::string>> notices;
    // Answers each box; the default cancels (or OKs an OK-only box).
    std::function<int(const Prompt &)> answer = [](const Prompt &p) { return (p.type & 0xF) == 0 ? 1 : 2; };

    void Install()
    {
        KelvaraSetMessageBoxHandler(
            [](void *ctx, const char *text, const char *caption, unsigned type) {
                auto *self = static_cast<UserScript *>(ctx);
                self->prompts.push_back({text, caption, type});
                return self->answer(self->prompts.back());
            },
            this);
        KelvaraSetNoticeHandler(
            [](void *ctx, int op, const char *text) {
                static_cast<UserScript *>(ctx)->notices.emplace_back(op, text != nullptr ? text : "");
            },
            this);
    }

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Prompt &p : prompts)
            texts.push_back(p.text);
        return texts;
    }
};

// Runs `scenario` against a library loaded afresh in a process of its own;
// the process must end normally.
inline void InFreshProcess(const std::function<void()> &scenario)
{
    LibraryProcess process;
    scenario();
    process.Finish();
}

// The environment every scenario runs in: its own settings file, and COM
// ports that lead only where the test says.
class E2eTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings = scratch.File("settings.ini");
        log = scratch.File("frames.log");
        image = scratch.File("card.img");
        ResetHostEnvironment();
        SetHostEnvironment("KELVARA_SETTINGS", settings);
        SetHostEnvironment("WQN_USB_READER", "");
        // No USB serial adapter but those a test plugs in (UsbSerialAdapters).
        SetHostEnvironment("WQN_DEVICE_ROOT", scratch.File("devices"));
        for (int n = 1; n <= 6; ++n)
            MapPort(n, scratch.File("no-port-" + std::to_string(n)));
        ClearSettings();
    }

    void TearDown() override { ResetHostEnvironment(); }

    void UseReaderOn(int com, const SerialSim &sim) { MapPort(com, sim.Path()); }

    std::vector<std::string> SimArgs(std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> args{"--image", image, "--log", log};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    Scratch scratch;
    std::string settings, log, image;
};

// Frames of the serial reader (hex as the simulator logs them).
inline constexpr const char *kStatFrame = "53 54 41 54 59 5A 5B 5C 5D 5E 61 15";
inline constexpr const char *kStatReplyP = "53 54 41 54 50 8C 42";
inline constexpr const char *kLockFrame = "4C 4F 43 4B 00 00 00 5C 5D 5E 40 54";
inline constexpr const char *kExitFrame = "45 58 49 54 00 00 00 5C 5D 5E 51 5F";
inline constexpr const char *kBdrt6Frame = "42 44 52 54 06 5A 5B 5C 5D 5E FE 58";
inline constexpr const char *kReleaseReadFrame = "52 45 41 44 FF 07 00 00 10 00 32 FA";

inline int Count(const std::vector<std::string> &items, const std::string &item)
{
    return static_cast<int>(std::count(items.begin(), items.end(), item));
}

} // namespace kelvara::e2e
