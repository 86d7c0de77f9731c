// sampora-sim: the Sampora card reader on a pseudo-terminal.
//
// Prints the path of the pty's terminal side as its first line; point
// WQN_COMn at it and the library talks to this reader. Lines on standard
// input steer the reader and inject faults; each gets one line of answer
// starting with "ok" or "error". Run with --help for the list.
#include "ReaderModel.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using sampora_sim::Bytes;
using Clock = std::chrono::steady_clock;

const char kHelpTop[] = R"(usage: sampora-sim [--absent] [--uid HEX8]

Simulates the Sampora reader with a contactless card (16 sectors x 4 blocks
of 16 bytes, transport keys FF FF FF FF FF FF) and a SAM on a pty. The first
line printed is the pty path for WQN_COMn.

Reader status codes:
)";

const char kHelp[] = R"(
Card files: SetMAD(a, b, s) makes a*256+b the file number of sector s;
ReadCardFile/WriteCardFile take that file number and the sector as index.
RestoreCard answers: sectors restored, first sector, count, last sector.
ReSend (E0) repeats the last answer.

Commands on standard input (one line each, answered "ok ..." or "error ..."):
  card present|absent    put the card in the field or take it away
  delay MS               answer every command MS late (0: at once)
  late MS                answer the next command MS late
  split N MS             send the next answer in two parts: N bytes, the
                         rest MS later
  badcheck               give the next answer a wrong check byte
  silent [N]             leave the next N commands (default 1) unanswered
  reply HEX              answer the next command with this payload (status
                         byte and data) instead
  send HEX               write these raw bytes now (unsolicited)
  burst N                write N bytes of 0x55 now
  rx                     everything received since the last rx, in hex
  termios                the line settings of the pty (baud, data bits,
                         parity enable and odd flags, stop bits, raw mode)
  block N                the card's block N in hex
  quit                   end
)";

std::string Hex(const Bytes &bytes)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

bool ParseHex(const std::string &text, Bytes &out)
{
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    if (digits.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return false;
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

Bytes Frame(const Bytes &payload)
{
    Bytes f{0x60, static_cast<std::uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    std::uint8_t x = 0;
    for (std::uint8_t b : f)
        x ^= b;
    f.push_back(x);
    f.push_back(0x03);
    return f;
}

unsigned BaudOf(speed_t s)
{
    switch (s) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

class Simulator {
public:
    bool Open();
    int Run();

private:
    struct Pending {
        Clock::time_point due;
        Bytes bytes;
    };

    void ReadPort();
    void TakeCommands();
    void Answer(const Bytes &command);
    void Queue(Bytes bytes, unsigned afterMs);
    void Flush();
    void WriteAll(const Bytes &bytes);
    std::string Control(const std::string &line);

public:
    sampora_sim::ReaderModel model;

private:
    int master_ = -1;
    int slave_ = -1; // held open so the pty survives the library closing it
    Bytes input_; // bytes not yet decoded into commands
    Bytes received_; // everything since the last "rx"
    std::deque<Pending> pending_;
    unsigned delayMs_ = 0;
    unsigned lateMs_ = 0;
    std::size_t splitAt_ = 0;
    unsigned splitGapMs_ = 0;
    bool badCheck_ = false;
    unsigned silent_ = 0;
    bool hasOverride_ = false;
    Bytes override_;
    bool quit_ = false;
};

bool Simulator::Open()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return false;
    const char *name = ::ptsname(master_);
    if (name == nullptr)
        return false;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0)
        return false;
    termios tio{};
    ::tcgetattr(slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    std::cout << name << std::endl;
    return true;
}

void Simulator::WriteAll(const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return;
        } else {
            return;
        }
    }
}

void Simulator::Queue(Bytes bytes, unsigned afterMs)
{
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(afterMs);
    if (!pending_.empty() && pending_.back().due > due)
        due = pending_.back().due; // keep the order
    pending_.push_back({due, std::move(bytes)});
}

void Simulator::Flush()
{
    while (!pending_.empty() && pending_.front().due <= Clock::now()) {
        WriteAll(pending_.front().bytes);
        pending_.pop_front();
    }
}

void Simulator::ReadPort()
{
    std::uint8_t buf[512];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            input_.insert(input_.end(), buf, buf + n);
            received_.insert(received_.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return; // EAGAIN, or EIO while nobody holds the terminal side
    }
}

void Simulator::TakeCommands()
{
    for (;;) {
        std::size_t start = 0;
        while (start < input_.size() && input_[start] != 0x60)
            ++start;
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(start));
        if (input_.size() < 2)
            return;
        const std::size_t length = input_[1];
        if (input_.size() < length + 4)
            return;
        std::uint8_t x = 0;
        for (std::size_t i = 0; i < length + 3; ++i)
            x ^= input_[i];
        if (x != 0 || input_[length + 3] != 0x03) {
            input_.erase(input_.begin()); // not a frame: look for the next start mark
            continue;
        }
        const Bytes command(input_.begin() + 2, input_.begin() + 2 + static_cast<std::ptrdiff_t>(length));
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(length + 4));
        Answer(command);
    }
}

void Simulator::Answer(const Bytes &command)
{
    sampora_sim::Answer answer = model.Handle(command);
    if (silent_ > 0) {
        --silent_;
        return;
    }
    if (hasOverride_) {
        answer.payload = override_;
        hasOverride_ = false;
        if (command.empty() || command[0] != 0xE0)
            model.RememberAnswer(answer.payload);
    }
    Bytes frame = Frame(answer.payload);
    if (badCheck_) {
        frame[frame.size() - 2] ^= 0x5A;
        badCheck_ = false;
    }
    const unsigned wait = answer.workMs + delayMs_ + lateMs_;
    lateMs_ = 0;
    if (splitAt_ > 0 && splitAt_ < frame.size()) {
        Bytes rest(frame.begin() + static_cast<std::ptrdiff_t>(splitAt_), frame.end());
        frame.resize(splitAt_);
        Queue(std::move(frame), wait);
        Queue(std::move(rest), splitGapMs_);
        pending_.back().due = pending_[pending_.size() - 2].due + std::chrono::milliseconds(splitGapMs_);
    } else {
        Queue(std::move(frame), wait);
    }
    splitAt_ = 0;
}

std::string Simulator::Control(const std::string &line)
{
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "card") {
        std::string state;
        in >> state;
        if (state != "present" && state != "absent")
            return "error card present|absent";
        model.SetCardPresent(state == "present");
        return "ok";
    }
    if (word == "delay" || word == "late") {
        unsigned ms = 0;
        if (!(in >> ms))
            return "error " + word + " MS";
        (word == "delay" ? delayMs_ : lateMs_) = ms;
        return "ok";
    }
    if (word == "split") {
        std::size_t at = 0;
        unsigned gap = 0;
        if (!(in >> at >> gap) || at == 0)
            return "error split N MS";
        splitAt_ = at;
        splitGapMs_ = gap;
        return "ok";
    }
    if (word == "badcheck") {
        badCheck_ = true;
        return "ok";
    }
    if (word == "silent") {
        unsigned n = 1;
        in >> n;
        silent_ = n;
        return "ok";
    }
    if (word == "reply" || word == "send") {
        std::string rest;
        std::getline(in, rest);
        Bytes bytes;
        if (!ParseHex(rest, bytes) || bytes.empty())
            return "error " + word + " HEX";
        if (word == "reply") {
            override_ = bytes;
            hasOverride_ = true;
        } else {
            Queue(bytes, 0);
            Flush();
        }
        return "ok";
    }
    if (word == "burst") {
        std::size_t n = 0;
        if (!(in >> n))
            return "error burst N";
        Queue(Bytes(n, 0x55), 0);
        Flush();
        return "ok";
    }
    if (word == "rx") {
        ReadPort();
        TakeCommands();
        const std::string text = Hex(received_);
        received_.clear();
        return text.empty() ? "ok" : "ok " + text;
    }
    if (word == "termios") {
        termios tio{};
        if (::tcgetattr(slave_, &tio) != 0)
            return "error tcgetattr";
        const unsigned size = (tio.c_cflag & CSIZE) == CS5 ? 5
            : (tio.c_cflag & CSIZE) == CS6                 ? 6
            : (tio.c_cflag & CSIZE) == CS7                 ? 7
                                                           : 8;
        // Linux ptys force 8 data bits and clear PARENB whatever is asked;
        // PARODD and CSTOPB are kept, so those show what the library set.
        std::ostringstream out;
        out << "ok baud=" << BaudOf(::cfgetospeed(&tio)) << " data=" << size
            << " parenb=" << ((tio.c_cflag & PARENB) ? 1 : 0) << " parodd=" << ((tio.c_cflag & PARODD) ? 1 : 0)
            << " stop=" << ((tio.c_cflag & CSTOPB) ? 2 : 1)
            << " raw=" << (((tio.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (tio.c_oflag & OPOST) == 0) ? 1 : 0);
        return out.str();
    }
    if (word == "block") {
        unsigned n = 64;
        if (!(in >> n) || n > 63)
            return "error block 0..63";
        const auto &b = model.CardBlock(n);
        return "ok " + Hex(Bytes(b.begin(), b.end()));
    }
    if (word == "quit") {
        quit_ = true;
        return "ok";
    }
    return "error unknown command: " + word;
}

int Simulator::Run()
{
    std::string lineBuffer;
    while (!quit_) {
        int timeout = -1;
        if (!pending_.empty()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(pending_.front().due - Clock::now());
            timeout = wait.count() < 0 ? 0 : static_cast<int>(wait.count()) + 1;
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {master_, POLLIN, 0}};
        const int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR)
            return 1;
        if (fds[1].revents & POLLIN) {
            ReadPort();
            TakeCommands();
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            ::usleep(1000); // nobody on the terminal side right now
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[4096];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0)
                return 0; // standard input closed: the session is over
            lineBuffer.append(buf, static_cast<std::size_t>(n));
            std::size_t eol;
            while ((eol = lineBuffer.find('\n')) != std::string::npos) {
                std::string line = lineBuffer.substr(0, eol);
                lineBuffer.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.empty())
                    continue;
                std::cout << Control(line) << std::endl;
            }
        }
        Flush();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    Simulator sim;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelpTop, stdout);
            for (const sampora::status::Meaning &m : sampora::status::kMeanings)
                if (m.code > 0)
                    std::printf("  %2d %s\n", m.code, m.text);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--absent") {
            sim.model.SetCardPresent(false);
        } else if (arg == "--uid" && i + 1 < argc) {
            sim.model.SetUid(static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 16)));
        } else {
            std::fprintf(stderr, "sampora-sim: unknown argument %s (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (!sim.Open()) {
        std::perror("sampora-sim: cannot open a pty");
        return 1;
    }
    return sim.Run();
}
