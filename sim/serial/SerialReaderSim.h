// The engine of the serial reader simulator: it plays the maker's serial card
// reader on the master side of a pseudo-terminal, over a FlashCard. The host
// opens the slave side as its COM port (WQN_COM1=<slave path>).
//
// It answers STAT, BDRT, READ, WRTE (with its data phase), LOCK and EXIT with
// the reader's replies and check bytes; models the reader's line speed
// (bytes the host sends at another speed are lost, BDRT changes the speed
// once its reply is out); can pace both directions at the line speed; and
// injects faults. It runs on its own thread (Start/Stop) or on the caller's
// (Run), so tests can drive it in-process and the program from a shell.
#pragma once

#include "sim/card/FlashCard.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace wqn::sim {

// A fault applied to replies: to commands named `command` ("" any, "DATA"
// the reply to a WRTE data phase), after letting `skip` matching replies
// through, for `count` replies (-1: for ever).
struct SerialFault {
    enum class Kind {
        Silence, // no reply at all
        Garble, // echo and status letter overwritten with '#'
        Short, // only the first part of the reply is sent
        BadCheck, // the sum byte is off by one
        Refuse, // the reader answers 'R'
    };
    Kind kind = Kind::Silence;
    std::string command;
    int skip = 0;
    int count = -1;
};

// Parses "KIND[:COMMAND[:SKIP[:COUNT]]]" with KIND one of silence, garble,
// short, badcheck, refuse; false on a malformed text.
bool ParseSerialFault(const std::string &text, SerialFault *fault);

struct SerialSimOptions {
    std::string imagePath; // empty: a blank card in memory
    std::uint32_t speed = 4800; // the reader's speed at power-up
    bool pace = false; // model the time bytes take on the line
    char noCard = 0; // 'Q' or 'S': no card ready; 0: card in
    std::vector<int> failingPages; // READ/WRTE of these pages answer 'R'
    std::vector<SerialFault> faults;
    std::string logPath; // frame log file; empty: none
};

class SerialReaderSim {
public:
    explicit SerialReaderSim(SerialSimOptions options);
    ~SerialReaderSim();
    SerialReaderSim(const SerialReaderSim &) = delete;
    SerialReaderSim &operator=(const SerialReaderSim &) = delete;

    // Creates the pty and loads the card; false with `error` set on failure.
    bool Open(std::string *error);
    // The path the host opens as its COM port.
    const std::string &SlavePath() const { return slavePath_; }

    // Serves until `stop` becomes true (checked at least every 20 ms).
    void Run(const std::atomic<bool> &stop);
    // Serves on a thread of its own until Stop or destruction.
    void Start();
    void Stop();

    // The reader's current line speed.
    std::uint32_t Speed() const { return speed_.load(); }
    // Takes the card out ('Q' or 'S') or puts it back (0).
    void SetNoCard(char status) { noCard_.store(status); }

    // Everything logged so far, one line each: "RX <hex>" a command frame,
    // "RXDATA <hex>" the data of a WRTE, "TX <hex>" a reply, "SPEED <baud>"
    // a change of speed, "LOST <n> AT <baud>" bytes sent at a wrong speed,
    // "BAD <hex>" a byte dropped while looking for a frame.
    std::vector<std::string> Log() const;
    void ClearLog();
    // Command frames received so far, as hex.
    std::vector<std::string> ReceivedFrames() const;

    // The card, for tests that prepare or inspect pages while the
    // simulator is stopped.
    FlashCard &Card() { return *card_; }

private:
    struct Pending;
    void Serve(const std::atomic<bool> &stop);
    void HandleBytes(const std::uint8_t *bytes, std::size_t count, std::int64_t nowUs);
    void HandleFrame(const std::uint8_t *frame);
    void HandleData();
    void Reply(const std::string &command, std::vector<std::uint8_t> reply);
    std::vector<std::uint8_t> ShortReply(const std::uint8_t *mnemonic, char status) const;
    void WritePaced(const std::vector<std::uint8_t> &bytes);
    void WaitUntilReceived();
    void AddLog(const std::string &line);
    std::int64_t ByteTimeUs() const;

    SerialSimOptions options_;
    std::unique_ptr<FlashCard> card_;
    std::set<int> failingPages_;
    std::vector<int> faultSeen_;
    std::vector<int> faultApplied_;
    int masterFd_ = -1;
    int slaveFd_ = -1; // held so the line survives the host's close
    std::string slavePath_;
    std::atomic<std::uint32_t> speed_;
    std::atomic<char> noCard_;

    std::vector<std::uint8_t> rx_;
    std::int64_t lastByteUs_ = 0;
    std::int64_t rxDoneUs_ = 0; // when the bytes received so far would have arrived
    bool dataPhase_ = false;
    int dataPage_ = 0;
    int dataOffset_ = 0;
    int dataLength_ = 0;

    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
    std::FILE *logFile_ = nullptr;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace wqn::sim
