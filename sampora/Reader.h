// The process-wide reader state: one port, one receive ring, one reply slot
// and the worker thread, and the exchange every command follows.
#pragma once

#include "sampora/ComPort.h"
#include "sampora/ReceiveRing.h"
#include "sampora/Worker.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace sampora {

class Reader {
public:
    static constexpr int kNoReply = -1;
    static constexpr std::size_t kPollMaximum = 128; // bytes taken from the driver per poll

    // `workerIdleMs`: the worker's idle period (a second; shorter only in
    // tests that want its polls to meet the commands often).
    explicit Reader(unsigned workerIdleMs = Worker::kIdlePeriodMs)
        : worker_(workerIdleMs)
    {
    }
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Reads the settings, opens the port and starts the worker: 0, or -1 when
    // the port number is out of range or the port cannot be opened. Calling
    // it again while open first closes what is open.
    int Init();

    // Stops the worker (waiting for it to end), then closes the port.
    // Harmless without Init. The ring and the reply slot are kept.
    void Close();

    bool IsOpen() const { return portOpen_; }

    // Frames and sends a payload without waiting for an answer, for commands
    // that do not wait: bytes written, or -1 when no port is open or the write
    // fails.
    int Send(const std::uint8_t *payload, std::size_t length);

    // Sends a payload and polls about every millisecond for the first frame
    // recognised after it, for at most `timeoutMs`. Returns the reply's
    // status (its data in `data`, 64 bytes, zero beyond the reply's length),
    // or -1 on time-out. Without an open port nothing is sent and the result
    // is -1 at once.
    int Exchange(const std::uint8_t *payload, std::size_t length, unsigned timeoutMs,
                 std::array<std::uint8_t, 64> &data);

private:
    int SendFrame(const std::uint8_t *payload, std::size_t length);
    void PollReceive();
    static void WorkerPoll(void *self);

    ComPort port_;
    Worker worker_;
    bool portOpen_ = false;
    ReceiveRing ring_;
    int replyStatus_ = 0;
    std::array<std::uint8_t, 256> replyData_{};
};

// The one reader of the process.
Reader &TheReader();

} // namespace sampora
