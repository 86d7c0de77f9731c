// SerialReader: the back-end of the maker's serial card reader (reader mode
// 1). It finds the COM port the reader hangs on, negotiates the fastest line
// speed the reader and the stored settings allow, asks whether a card is
// ready, and reads and writes card pages with 12-byte command frames.
//
// The reader manager owns one SerialReader by value and calls Connect when
// it tries reader mode 1, ResetPorts before it tries the GC481 reader, and
// ReadBlock / WriteBlock / CardLock / CardExit while mode 1 is active and
// IsConnected() is true. Every operation runs on the caller's thread and
// blocks until the reader answered or its time-out passed; none shows a
// message or throws.
#pragma once

#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/readers/protocol/LineSpeeds.h"
#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/readers/serial/SerialPort.h"
#include "kelvara/services/Clock.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// The outcome of Connect.
namespace serial_connect {
inline constexpr int kNoReader = 0;
inline constexpr int kNoCard = 1;
inline constexpr int kReady = 2;
} // namespace serial_connect

class SerialReader final : public ReaderBackEnd {
public:
    // `clock` measures every time-out and delay; the real clock by default.
    explicit SerialReader(Clock &clock = SystemClock());
    ~SerialReader() override = default; // the port closes itself
    SerialReader(const SerialReader &) = delete;
    SerialReader &operator=(const SerialReader &) = delete;

    // Looks for the reader on the stored ComPortName, then "com1", "com2" and
    // the ports of the USB serial adapters plugged in now (a port whose
    // device was tried already is skipped), and asks it for its card; with a
    // port given for the run (KELVARA_PORT) on that port only. Blocks for the
    // search: a port without a reader costs about 1.6 s. Returns serial_connect::k...: 2 reader with a ready card,
    // 1 reader without a ready card, 0 no reader. On 1 or 2 the port stays
    // open at the negotiated speed, IsConnected() becomes true and
    // ComPortName is written; on 0 IsConnected() becomes false.
    int Connect() override;

    // True after a Connect that found a reader; false before the first
    // Connect and after a failed one.
    bool IsConnected() const override { return connected_; }

    // Opens `port` at a speed the reader answers on: first the stored
    // BaudRateIndex directly, else a negotiation from BaudRateMax down with
    // BDRT at 4800 bit/s and a scan of the speeds when the reader does not
    // answer at 4800. Pumps window messages before each negotiation attempt.
    // 1 when the port is open and the reader answered (or the speed settled
    // at 4800 bit/s); 0 otherwise, with the port closed. Writes
    // BaudRateIndex after a negotiation.
    int ConnectAtPort(std::string_view port);

    // Whether a reader answers on `port`, changing nothing: one STAT at the
    // stored speed, then at each speed from 115200 bit/s down, never BDRT,
    // and the port closed again. The status code (reply::k..., 0 or more)
    // with the speed in `baud`; kProbeSilent when nothing answered (about
    // 1.6 s); kProbeNotOpened at once when the port cannot be opened.
    static constexpr int kProbeSilent = -1;
    static constexpr int kProbeNotOpened = -2;
    int ProbePort(std::string_view port, std::uint32_t &baud);

    // The ports Connect tries, in order.
    static std::vector<std::string> Candidates();

    // STAT: the reply's status code (reply::k...), -1 if the frame cannot
    // be written.
    int QueryStatus();
    // BDRT with `speedIndex`: the reply's status code, -1 if the frame
    // cannot be written.
    int SetSpeed(std::uint8_t speedIndex);

    // Reads `length` bytes from `offset` of `page` into `buffer` (byte 0 is
    // cleared first). True on success. Fails without traffic for page
    // outside 0-2047, offset outside 0-263, a negative length or more than
    // kMaxReadLength bytes; length 0 succeeds without traffic.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;

    // Writes `length` bytes from `buffer` to `offset` of `page` (the WRTE
    // frame, then the data and its check bytes). True when the reader
    // confirmed both phases. Fails without traffic for the same ranges as
    // ReadBlock and for more than 1024 bytes; length 0 succeeds at once.
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // One STAT on the open port: 2 card ready, 1 no ready card, 0 no answer
    // (or no port open).
    int PollCard() override;

    // LOCK and EXIT: true when the reader answered 'P'.
    bool HasCardCommands() const override { return true; }
    bool CardLock() override;
    bool CardExit() override;

    // Opens and closes "com1" and "com2" once each at 115200 bit/s and
    // leaves no port open. Always 0.
    int ResetPorts();

    // The port, for inspection by tests and diagnostics.
    const SerialPort &Port() const { return port_; }

private:
    int OpenAt(std::string_view port, std::uint8_t speedIndex);
    // Lets a line that fell out of step with the reader go quiet, flushes
    // and writes a frame; false when the write failed.
    bool SendCommand(const CommandFrame &frame);
    // Sends `frame` and waits for its reply; -1 when the frame was not sent.
    int Exchange(const CommandFrame &frame, ReplyAssembler &reply);
    int Await(const CommandFrame &sent, ReplyAssembler &reply);
    void Delay(int ms);
    void SettleLine();
    int Negotiate(std::string_view port, std::uint8_t maxIndex);
    int ScanSpeeds(std::string_view port);

    SerialPort port_;
    Clock *clock_;
    bool connected_ = false;
    // Set when a reply went wrong (silence, garbage, a reply to something
    // else): the reader may still be sending. With the port and speed then
    // in use, since when, and how long a reply to that command can be.
    bool outOfStep_ = false;
    std::size_t outOfStepReplyBytes_ = 0;
    std::string outOfStepPort_;
    std::uint32_t outOfStepBaud_ = 0;
    std::int64_t outOfStepSinceMs_ = 0;
};

} // namespace kelvara
