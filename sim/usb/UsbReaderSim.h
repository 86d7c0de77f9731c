// The engine of the USB reader simulator: it plays the maker's USB reader
// USB_V626 behind the Unix-domain socket Kelvara's Linux USB transport
// connects to (WQN_USB_READER=<socket path>), over a FlashCard, speaking
// the request framing of kelvara/readers/usb/UsbSocketWire.h.
//
// It understands both command sets (STAT READ WRTE GETV and ST98 RE98 PART
// WR98 GE98, EXIT and LOCK), answers each receive request with the
// reader's next reply, and injects faults: failed sends or receives,
// silence, wrong check bytes, refusals, receives that move no bytes, a
// chosen answer to the status query, and a card that ignores writes (as a
// card inserted the wrong way round). It serves on its own thread
// (Start/Stop) or on the caller's (Run), so tests can drive it in-process
// and the program from a shell.
#pragma once

#include "sim/card/FlashCard.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wqn::sim {

// A fault on the requests of one command (`command` a mnemonic such as
// "READ" or "PART", "DATA" for a write's data, "" for any), after letting
// `skip` matching requests through, for `count` of them (-1: for ever).
struct UsbFault {
    enum class Kind {
        SendFail, // the send request of the command fails
        ReceiveFail, // the receive of its reply fails (the reply is lost)
        Silence, // the receive of its reply gets no answer at all
        BadCheck, // the reply's sum byte is off by one
        Refuse, // the reply's status letter is 'R'
        Empty, // the receive completes but moves no bytes
        Lose, // the send request succeeds but the reader never gets its bytes
        Corrupt, // the send's bytes reach the reader with one of them inverted
    };
    Kind kind = Kind::ReceiveFail;
    std::string command;
    int skip = 0;
    int count = -1;
};

// sendfail, lose and corrupt strike send requests (a write's data pieces
// count one each), the others the receive of a reply.
bool IsSendFault(UsbFault::Kind kind);

// Parses "KIND[:COMMAND[:SKIP[:COUNT]]]" with KIND one of sendfail,
// recvfail, silence, badcheck, refuse, empty, lose, corrupt; false when
// malformed.
bool ParseUsbFault(const std::string &text, UsbFault *fault);

struct UsbSimOptions {
    std::string socketPath; // required
    std::string imagePath; // empty: a blank card in memory
    char status = 'P'; // the answer to STAT / ST98
    std::string version = "USB_V626 SIM 1.0"; // the GETV text (at most 50 bytes used)
    bool ignoreWrites = false; // writes confirmed but not stored
    std::vector<UsbFault> faults;
    std::string logPath; // appended, one line per request
};

class UsbReaderSim {
public:
    explicit UsbReaderSim(UsbSimOptions options);
    ~UsbReaderSim();
    UsbReaderSim(const UsbReaderSim &) = delete;
    UsbReaderSim &operator=(const UsbReaderSim &) = delete;

    // Loads the card and listens on the socket (a stale socket file is
    // replaced); false with `error` set on failure.
    bool Open(std::string *error);
    const std::string &SocketPath() const { return options_.socketPath; }

    // Serves until `stop` becomes true (checked at least every 20 ms).
    void Run(const std::atomic<bool> &stop);
    // Serves on a thread of its own until Stop or destruction.
    void Start();
    void Stop();

    // Changes the answer to the status query from now on.
    void SetStatus(char letter) { status_.store(letter); }

    // Everything logged so far, one line per event: "usb open", "usb close",
    // "usb <REQUEST> <length> [<bytes in>] -> <status>|silent [<bytes out>]"
    // with REQUEST one of SEND, SEND_LEGACY, RECEIVE, RECEIVE_LEGACY,
    // RECOVER and bytes in hex.
    std::vector<std::string> Log() const;
    void ClearLog();

    // The card, for tests that prepare or inspect pages.
    FlashCard &Card() { return *card_; }

private:
    struct Connection;
    struct Answer {
        bool silent = false;
        std::uint32_t status = 0;
        std::uint32_t count = 0;
        std::vector<std::uint8_t> bytes;
    };

    void Serve(const std::atomic<bool> &stop);
    bool HandleInput(Connection &c);
    Answer HandleRequest(Connection &c, std::uint32_t code, std::uint32_t length, const std::vector<std::uint8_t> &in);
    Answer HandleSend(Connection &c, const std::vector<std::uint8_t> &in);
    Answer HandleReceive(Connection &c, std::uint32_t length);
    void HandleFrame(Connection &c, const std::vector<std::uint8_t> &frame);
    void HandleData(Connection &c);
    std::vector<std::uint8_t> Reply(const std::uint8_t *echo, char status, const std::uint8_t *data,
                                    std::size_t count) const;
    const UsbFault *TakeFault(const std::string &command, bool atSend);
    void AddLog(const std::string &line);

    UsbSimOptions options_;
    std::unique_ptr<FlashCard> card_;
    std::atomic<char> status_;
    int listenFd_ = -1;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<int> faultSeen_;
    std::vector<int> faultApplied_;

    mutable std::mutex mutex_; // the log
    std::vector<std::string> log_;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace wqn::sim
