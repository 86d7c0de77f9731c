// Child-process handling for the simulator.
#include "SimProcess.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace sampora_test {

namespace {
constexpr int kLineTimeoutMs = 5000;
constexpr int kExitTimeoutMs = 2000;
} // namespace

SimProcess::SimProcess(const std::string &arguments)
{
    std::vector<std::string> args{SAMPORA_SIM_PATH};
    std::istringstream words(arguments);
    for (std::string w; words >> w;)
        args.push_back(w);
    if (child_.Start(args))
        slavePath_ = ReadLine();
}

SimProcess::~SimProcess()
{
    child_.CloseInput(); // end of input ends the simulator
    child_.Wait(kExitTimeoutMs);
}

std::string SimProcess::ReadLine()
{
    std::string line;
    return child_.ReadLine(&line, kLineTimeoutMs) ? line : "";
}

std::string SimProcess::Command(const std::string &line) { return child_.WriteLine(line) ? ReadLine() : ""; }

std::string SimProcess::Received()
{
    const std::string answer = Command("rx");
    if (answer.rfind("ok", 0) != 0)
        return "<" + answer + ">";
    return answer.size() > 3 ? answer.substr(3) : "";
}

std::string FrameHex(const std::string &payloadHex)
{
    std::vector<unsigned> bytes;
    std::istringstream in(payloadHex);
    for (std::string b; in >> b;)
        bytes.push_back(static_cast<unsigned>(std::stoul(b, nullptr, 16)));
    std::vector<unsigned> frame{0x60, static_cast<unsigned>(bytes.size())};
    frame.insert(frame.end(), bytes.begin(), bytes.end());
    unsigned x = 0;
    for (unsigned b : frame)
        x ^= b;
    frame.push_back(x);
    frame.push_back(0x03);
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < frame.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", frame[i]);
        out += buf;
    }
    return out;
}

} // namespace sampora_test
