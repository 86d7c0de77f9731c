// Child-process handling for the simulator.
#include "SimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sampora_test {

namespace {
constexpr int kLineTimeoutMs = 5000;
}

SimProcess::SimProcess(const std::string &arguments)
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> args{SAMPORA_SIM_PATH};
    std::istringstream words(arguments);
    for (std::string w; words >> w;)
        args.push_back(w);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (pid_ < 0)
        return;
    slavePath_ = ReadLine(kLineTimeoutMs);
}

SimProcess::~SimProcess()
{
    if (toChild_ >= 0)
        ::close(toChild_); // end of input ends the simulator
    if (pid_ > 0) {
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            ::usleep(10000);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (fromChild_ >= 0)
        ::close(fromChild_);
}

std::string SimProcess::ReadLine(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t eol = buffer_.find('\n');
        if (eol != std::string::npos) {
            std::string line = buffer_.substr(0, eol);
            buffer_.erase(0, eol + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return "";
        pollfd p{fromChild_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return "";
        char buf[1024];
        const ssize_t n = ::read(fromChild_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string SimProcess::Command(const std::string &line)
{
    if (toChild_ < 0)
        return "";
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(toChild_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        done += static_cast<std::size_t>(n);
    }
    return ReadLine(kLineTimeoutMs);
}

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
