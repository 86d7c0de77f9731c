// kelvara-serial-sim: the maker's serial card reader on a pseudo-terminal.
// Prints the pty's path on the first line of stdout, then serves until
// interrupted. Point the library at it with WQN_COM1=<that path>. With
// --control it also takes commands on standard input while it serves.
#include "sim/serial/SerialReaderSim.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

std::atomic<bool> g_stop{false};
wqn::sim::SerialReaderSim *g_sim = nullptr;

void OnSignal(int) { g_stop.store(true); }

// A user (or a test) inserts and takes out the card while the reader runs.
void OnCardSignal(int signal) { g_sim->SetNoCard(signal == SIGUSR1 ? 0 : 'Q'); }

void Usage(std::FILE *to)
{
    std::fputs("usage: kelvara-serial-sim [options]\n"
               "  --image FILE        card image (540672 bytes; created blank if missing)\n"
               "  --speed BAUD        the reader's speed at start (default 4800)\n"
               "  --pace              let bytes take their time on the line, both ways\n"
               "  --no-card Q|S       no card ready: answer 'Q' or 'S'\n"
               "  --fail-page N       READ and WRTE of page N answer 'R' (repeatable)\n"
               "  --fault FAULT       inject a fault (repeatable; see below)\n"
               "  --log FILE          log every frame (RX/TX/RXDATA lines in hex)\n"
               "  --patience MS       give up a frame or data phase after MS without a\n"
               "                      byte (default 150, as the reader does)\n"
               "  --control           take commands on standard input (see below)\n"
               "\n"
               "FAULT is KIND[:COMMAND[:SKIP[:COUNT[:ARG]]]]: after SKIP matching units\n"
               "(default 0) for COUNT of them (default -1, for ever). Faults on replies\n"
               "match COMMAND, a mnemonic, DATA for the reply to a WRTE data phase, or\n"
               "empty for any:\n"
               "  silence             no reply\n"
               "  garble              echo and status letter become '#'\n"
               "  short               only the first half of the reply\n"
               "  badcheck            the sum byte off by one\n"
               "  refuse              the status letter 'R'\n"
               "  other               the reply to another command (STAT's, or LOCK's to STAT)\n"
               "  repeat:...:COPIES   the reply follows itself COPIES times (default 1)\n"
               "  late:...:MS         the reply starts MS ms late; the reader is busy meanwhile\n"
               "  gap:...:MS[@AT]     the reply pauses MS ms after byte AT\n"
               "  drop:...:AT         byte AT of the reply is lost\n"
               "  flip:...:AT         byte AT of the reply arrives with its bits inverted\n"
               "  insert:...:AT       a stray byte (A5) arrives before byte AT\n"
               "  hangup:...:MS[@AT]  the reply stops after AT bytes; the reader is deaf and\n"
               "                      mute for MS ms, then starts afresh\n"
               "Faults on what the host sends match COMMAND empty (command frames) or DATA\n"
               "(data phases):\n"
               "  indrop:...:AT, inflip:...:AT, ininsert:...:AT  the same, host to reader\n"
               "AT counts from 0 and defaults to the middle.\n"
               "\n"
               "The line: bytes sent at a speed the other side is not set to are lost; a\n"
               "frame or data phase without a byte for 150 ms is abandoned; while the host\n"
               "has the port closed nobody hears the reader, and a close drops what the\n"
               "host had received but not read.\n"
               "\n"
               "Commands on standard input with --control, one a line, answered \"ok\" or\n"
               "\"error ...\": fault FAULT, faults clear, card in, card out Q|S, quit.\n"
               "signals: SIGUSR1 inserts the card, SIGUSR2 takes it out ('Q')\n",
               to);
}

// One command line of --control; the answer to print.
std::string Control(wqn::sim::SerialReaderSim &sim, const std::string &line)
{
    if (line.rfind("fault ", 0) == 0) {
        wqn::sim::SerialFault fault;
        if (!wqn::sim::ParseSerialFault(line.substr(6), &fault)) {
            return "error bad fault";
        }
        sim.AddFault(fault);
        return "ok";
    }
    if (line == "faults clear") {
        sim.ClearFaults();
        return "ok";
    }
    if (line == "card in") {
        sim.SetNoCard(0);
        return "ok";
    }
    if (line == "card out Q" || line == "card out S") {
        sim.SetNoCard(line.back());
        return "ok";
    }
    if (line == "quit") {
        g_stop.store(true);
        return "ok";
    }
    return "error unknown command";
}

// Reads --control commands until stopped; the end of input ends only them.
void ServeControl(wqn::sim::SerialReaderSim &sim)
{
    std::string pending;
    bool open = true;
    while (!g_stop.load()) {
        if (!open) {
            ::usleep(20000);
            continue;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            continue;
        }
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            open = false;
            continue;
        }
        pending.append(buffer, std::size_t(n));
        for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                std::printf("%s\n", Control(sim, line).c_str());
                std::fflush(stdout);
            }
        }
    }
}

bool ParseInt(const char *text, long low, long high, long *out)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    wqn::sim::SerialSimOptions options;
    bool control = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--control") {
            control = true;
        } else if (value == nullptr) {
            Usage(stderr);
            return 2;
        } else if (arg == "--image") {
            options.imagePath = value;
            ++i;
        } else if (arg == "--speed" && ParseInt(value, 1, 4000000, &number)) {
            options.speed = std::uint32_t(number);
            ++i;
        } else if (arg == "--no-card" && (std::strcmp(value, "Q") == 0 || std::strcmp(value, "S") == 0)) {
            options.noCard = value[0];
            ++i;
        } else if (arg == "--fail-page" && ParseInt(value, 0, 65535, &number)) {
            options.failingPages.push_back(int(number));
            ++i;
        } else if (arg == "--fault") {
            wqn::sim::SerialFault fault;
            if (!wqn::sim::ParseSerialFault(value, &fault)) {
                std::fprintf(stderr, "kelvara-serial-sim: bad fault '%s'\n", value);
                return 2;
            }
            options.faults.push_back(fault);
            ++i;
        } else if (arg == "--patience" && ParseInt(value, 1, 600000, &number)) {
            options.patienceMs = int(number);
            ++i;
        } else if (arg == "--log") {
            options.logPath = value;
            ++i;
        } else {
            std::fprintf(stderr, "kelvara-serial-sim: bad option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }

    wqn::sim::SerialReaderSim sim(options);
    std::string error;
    if (!sim.Open(&error)) {
        std::fprintf(stderr, "kelvara-serial-sim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    g_sim = &sim;
    std::signal(SIGUSR1, OnCardSignal);
    std::signal(SIGUSR2, OnCardSignal);
    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);
    if (!control) {
        sim.Run(g_stop);
        return 0;
    }
    sim.Start();
    ServeControl(sim);
    sim.Stop();
    return 0;
}
