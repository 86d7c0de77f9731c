// The engine of the serial reader simulator: it plays the maker's serial card
// reader on the master side of a pseudo-terminal, over a FlashCard. The host
// opens the slave side as its COM port (WQN_COM1=<slave path>).
//
// It answers STAT, BDRT, READ, WRTE (with its data phase), LOCK and EXIT with
// the reader's replies and check bytes, and models the line between host and
// reader:
// - speed: bytes the host sends at another speed than the reader's are lost,
//   and so are reader bytes that reach a host at another speed; BDRT changes
//   the speed once its reply is out;
// - time (with `pace`): every byte takes its line time in both directions;
//   the reader sees a byte only when it has arrived and answers only once a
//   request has arrived whole;
// - the host's port: while the host has the port closed nobody hears the
//   reader, and closing drops what the host had received but not read (a
//   UART's receive queue does not survive a close); what the reader was
//   sending meanwhile still takes its time on the line;
// - the reader's patience: a frame or data phase without a new byte for
//   kInterByteLimitMs (or the patience the options give) is abandoned.
// It injects faults on replies and on what the host sends (SerialFault). It
// runs on its own thread (Start/Stop) or on the caller's (Run), so tests can
// drive it in-process and the program from a shell.
#pragma once

#include "sim/card/FlashCard.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace wqn::sim {

// A partial frame or data phase is abandoned after this long without a byte.
inline constexpr int kInterByteLimitMs = 150;

// A fault, after letting `skip` matching units through, for `count` of them
// (-1: for ever). Reply faults match replies to commands named `command` (""
// any, "DATA" the reply to a WRTE data phase); faults on what the host sends
// (the In... kinds) match command frames (`command` "") or data phases
// ("DATA").
struct SerialFault {
    enum class Kind {
        Silence, // no reply at all
        Garble, // echo and status letter overwritten with '#'
        Short, // only the first half of the reply is sent
        BadCheck, // the sum byte is off by one
        Refuse, // the reader answers 'R'
        Late, // the reply starts `ms` late; the reader is busy meanwhile
        Gap, // the reply pauses `ms` after its byte `at`
        Drop, // byte `at` of the reply is lost
        Flip, // byte `at` of the reply arrives with its bits inverted
        Insert, // a stray byte arrives before byte `at` of the reply
        Other, // the reply the reader gives to another command
        Repeat, // the reply is sent again, `copies` more times, right after itself
        HangUp, // the reply stops after `at` bytes; the reader is deaf and mute for `ms`, then starts afresh
        InDrop, // byte `at` of what the host sends is lost
        InFlip, // byte `at` of what the host sends arrives inverted
        InInsert, // a stray byte arrives before byte `at` of what the host sends
    };
    Kind kind = Kind::Silence;
    std::string command;
    int skip = 0;
    int count = -1;
    int ms = 0;
    int at = -1; // -1: the middle of the reply or unit
    int copies = 1; // Repeat: how many times the reply follows itself
};

// Parses "KIND[:COMMAND[:SKIP[:COUNT[:ARG]]]]", KIND one of silence, garble,
// short, badcheck, refuse, late, gap, drop, flip, insert, other, repeat,
// hangup, indrop, inflip, ininsert. ARG is MS for late, MS[@AT] for gap and
// hangup, AT for drop, flip, insert and the in... kinds, COPIES for repeat.
// False when malformed.
bool ParseSerialFault(const std::string &text, SerialFault *fault);

struct SerialSimOptions {
    std::string imagePath; // empty: a blank card in memory
    std::uint32_t speed = 4800; // the reader's speed at power-up
    bool pace = false; // bytes take their line time
    char noCard = 0; // 'Q' or 'S': no card ready; 0: card in
    std::vector<int> failingPages; // READ/WRTE of these pages answer 'R'
    std::vector<SerialFault> faults;
    std::string logPath; // frame log file; empty: none
    // How long a frame or data phase may go without a byte. Longer than a
    // real reader's only for tests about the host's line timing on a loaded
    // machine, where the host itself may stall that long.
    int patienceMs = kInterByteLimitMs;
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
    // Adds a fault from now on, or removes them all; callable from any thread.
    void AddFault(const SerialFault &fault);
    void ClearFaults();

    // Everything logged so far, one line each: "RX <hex>" a command frame,
    // "RXDATA <hex>" the data of a WRTE, "TX <hex>" a reply as sent,
    // "SPEED <baud>" a change of speed, "LOST <n> AT <baud>" host bytes sent
    // at a wrong speed, "BAD <hex>" bytes dropped while looking for a frame
    // or abandoned, "ABANDONED FRAME|DATA AFTER <ms>" a frame or data phase
    // given up after that long without a byte, "UNHEARD <n>" reader bytes
    // nobody received, "SILENT",
    // "FAULT <kind> <command>" a fault applied, "HOST OPEN"/"HOST CLOSED".
    std::vector<std::string> Log() const;
    void ClearLog();
    // Command frames received so far, as hex.
    std::vector<std::string> ReceivedFrames() const;

    // The card, for tests that prepare or inspect pages while the
    // simulator is stopped.
    FlashCard &Card() { return *card_; }

private:
    struct InByte {
        std::int64_t arrivalUs;
        std::uint8_t byte;
        std::uint32_t hostSpeed;
    };
    struct OutEvent {
        std::int64_t dueUs;
        bool speedChange; // else a byte
        std::uint8_t byte;
        std::uint32_t speed;
    };

    void Serve(const std::atomic<bool> &stop);
    void WatchHost();
    void TakeHostEvents();
    void HostOpened(bool open);
    void ReadHost(std::int64_t nowUs);
    void ProcessArrived(std::int64_t nowUs);
    void TakeByte(std::uint8_t byte, std::int64_t arrivalUs);
    void Parse();
    void SendDue(std::int64_t nowUs);
    std::int64_t NextWakeUs() const;
    void HandleFrame(const std::uint8_t *frame);
    void HandleData();
    void Reply(const std::string &command, std::vector<std::uint8_t> reply);
    std::vector<std::uint8_t> ShortReply(const std::uint8_t *mnemonic, char status) const;
    bool TakeFault(const std::string &command, bool inbound, SerialFault *chosen);
    void ResetReceiver();
    void AddLog(const std::string &line);
    std::int64_t ByteTimeUs(std::uint32_t speed) const;
    std::uint32_t HostSpeed() const;

    SerialSimOptions options_;
    std::unique_ptr<FlashCard> card_;
    std::set<int> failingPages_;
    int masterFd_ = -1;
    int slaveFd_ = -1; // held so the line survives the host's close
    int watchFd_ = -1; // inotify on the slave: the host's opens and closes
    int hostOpens_ = 0;
    bool hostOpen_ = true; // until open tracking says otherwise
    std::string slavePath_;
    std::atomic<std::uint32_t> speed_;
    std::atomic<char> noCard_;

    std::mutex faultMutex_;
    std::vector<SerialFault> faults_;
    std::vector<int> faultSeen_;
    std::vector<int> faultApplied_;

    // The line from the host: bytes with the moment they arrive.
    std::deque<InByte> inbound_;
    std::int64_t inboundFreeUs_ = 0; // when the last byte read so far arrives
    // The reader's receiver.
    std::vector<std::uint8_t> rx_;
    std::int64_t lastActivityUs_ = 0; // last byte arrived, or last reply out
    std::int64_t readyAtUs_ = 0; // busy (a late reply) until then
    std::int64_t takenAtUs_ = 0; // when the byte in hand arrived (and the reader was free)
    std::int64_t deafUntilUs_ = 0; // hung up until then
    bool dataPhase_ = false;
    int dataPage_ = 0;
    int dataOffset_ = 0;
    int dataLength_ = 0;
    bool unitFaulted_ = false; // an inbound fault is running on this unit
    SerialFault unitFault_;
    int unitIndex_ = 0;
    // The line to the host.
    std::deque<OutEvent> outbound_;
    std::int64_t outFreeUs_ = 0; // when the reader's transmitter falls silent

    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
    std::FILE *logFile_ = nullptr;

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace wqn::sim
