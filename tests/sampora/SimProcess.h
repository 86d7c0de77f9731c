// Starts the sampora-sim program on a pty for a test and talks to its
// control channel. Every wait is bounded so a broken simulator fails the
// test instead of hanging it.
#pragma once

#include "tests/support/ChildProgram.h"

#include <string>

namespace sampora_test {

class SimProcess {
public:
    explicit SimProcess(const std::string &arguments = "");
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    bool Started() const { return !slavePath_.empty(); }
    const std::string &SlavePath() const { return slavePath_; }

    // Sends one control line and returns the simulator's answer line ("" on
    // time-out or when the simulator is gone).
    std::string Command(const std::string &line);

    // The bytes received from the library since the last call, as upper-case
    // hex separated by blanks ("" when none).
    std::string Received();

private:
    std::string ReadLine();

    kelvara::testing::ChildProgram child_;
    std::string slavePath_;
};

// The frame the library must send for a payload given in hex, worked out
// here independently of the library's own framing.
std::string FrameHex(const std::string &payloadHex);

} // namespace sampora_test
