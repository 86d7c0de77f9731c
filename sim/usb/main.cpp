// kelvara-usb-sim: the maker's USB reader USB_V626 behind a Unix-domain
// socket. Prints the socket's path on the first line of stdout once it
// listens, then serves until interrupted. Point the library at it with
// WQN_USB_READER=<that path>.
#include "sim/usb/UsbReaderSim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

void Usage(std::FILE *to)
{
    std::fputs("usage: kelvara-usb-sim --socket PATH [options]\n"
               "  --socket PATH       where to listen (WQN_USB_READER of the host)\n"
               "  --image FILE        card image (540672 bytes; created blank if missing)\n"
               "  --status LETTER     answer to STAT/ST98: P ready (default), Q or S no\n"
               "                      card, T, U or R not usable\n"
               "  --version TEXT      the reader's version text (default \"USB_V626 SIM 1.0\")\n"
               "  --ignore-writes     confirm writes without storing them (a card that\n"
               "                      does not keep what is written, as one inserted\n"
               "                      the wrong way round)\n"
               "  --fault FAULT       KIND[:COMMAND[:SKIP[:COUNT]]] (repeatable): after SKIP\n"
               "                      matching requests, for COUNT of them (default: all);\n"
               "                      COMMAND a mnemonic, DATA for a write's data pieces and\n"
               "                      its final reply, or empty for any. On send requests:\n"
               "                        sendfail  the request fails\n"
               "                        lose      it succeeds, but the reader never gets\n"
               "                                  the bytes\n"
               "                        corrupt   the reader gets them with one inverted\n"
               "                      On the receive of the reply: recvfail (fails), silence\n"
               "                      (no answer), badcheck, refuse ('R'), empty (no bytes)\n"
               "  --log FILE          append one line per request (shareable with other\n"
               "                      simulators' logs)\n",
               to);
}

} // namespace

int main(int argc, char **argv)
{
    wqn::sim::UsbSimOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--ignore-writes") {
            options.ignoreWrites = true;
        } else if (value == nullptr) {
            Usage(stderr);
            return 2;
        } else if (arg == "--socket") {
            options.socketPath = value;
            ++i;
        } else if (arg == "--image") {
            options.imagePath = value;
            ++i;
        } else if (arg == "--status" && std::strlen(value) == 1) {
            options.status = value[0];
            ++i;
        } else if (arg == "--version") {
            options.version = value;
            ++i;
        } else if (arg == "--fault") {
            wqn::sim::UsbFault fault;
            if (!wqn::sim::ParseUsbFault(value, &fault)) {
                std::fprintf(stderr, "kelvara-usb-sim: bad fault '%s'\n", value);
                return 2;
            }
            options.faults.push_back(fault);
            ++i;
        } else if (arg == "--log") {
            options.logPath = value;
            ++i;
        } else {
            std::fprintf(stderr, "kelvara-usb-sim: bad option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (options.socketPath.empty()) {
        Usage(stderr);
        return 2;
    }

    wqn::sim::UsbReaderSim sim(options);
    std::string error;
    if (!sim.Open(&error)) {
        std::fprintf(stderr, "kelvara-usb-sim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", sim.SocketPath().c_str());
    std::fflush(stdout);
    sim.Run(g_stop);
    return 0;
}
