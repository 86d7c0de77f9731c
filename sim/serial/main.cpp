// kelvara-serial-sim: the maker's serial card reader on a pseudo-terminal.
// Prints the pty's path on the first line of stdout, then serves until
// interrupted. Point the library at it with WQN_COM1=<that path>.
#include "sim/serial/SerialReaderSim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
               "  --pace              let bytes take their time on the line\n"
               "  --no-card Q|S       no card ready: answer 'Q' or 'S'\n"
               "  --fail-page N       READ and WRTE of page N answer 'R' (repeatable)\n"
               "  --fault FAULT       KIND[:COMMAND[:SKIP[:COUNT]]], KIND one of silence,\n"
               "                      garble, short, badcheck, refuse; COMMAND a mnemonic\n"
               "                      or DATA for the WRTE data phase (repeatable)\n"
               "  --log FILE          log every frame (RX/TX/RXDATA lines in hex)\n"
               "signals: SIGUSR1 inserts the card, SIGUSR2 takes it out ('Q')\n",
               to);
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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--pace") {
            options.pace = true;
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
    sim.Run(g_stop);
    return 0;
}
