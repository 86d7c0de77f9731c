// Init, Close, sending, polling and the exchange procedure.
#include "sampora/Reader.h"

#include <algorithm>

#include "sampora/Clock.h"
#include "sampora/Frame.h"
#include "sampora/Settings.h"
#include "sampora/Trace.h"

namespace sampora {

// At unload: the worker is stopped as Close would, without waiting for it
// unboundedly under the loader's lock.
Reader::~Reader()
{
    worker_.StopAtUnload();
    port_open_ = false;
    port_.Close();
}

int Reader::Init()
{
    if (port_open_)
        Close();
    const LineSettings line = ToLineSettings(LoadReaderSettings());
    if (!IsValidPortNumber(line.port))
        return -1;
    if (!port_.Open(line))
        return -1;
    port_open_ = true;
    // A worker that cannot start is no reason to fail: the commands drain
    // the port themselves, only the idle draining is missing.
    static_cast<void>(worker_.Start(&Reader::WorkerPoll, this));
    return 0;
}

void Reader::Close()
{
    // The worker is stopped before the port goes, so no poll can touch a
    // closed port.
    worker_.Stop();
    port_open_ = false;
    port_.Close();
}

int Reader::SendFrame(const std::uint8_t *payload, std::size_t length)
{
    if (!port_open_)
        return -1;
    reply_status_ = kNoReply;
    const std::vector<std::uint8_t> frame = BuildFrame(payload, length);
    trace::Command(frame.data(), frame.size());
    return port_.Write(frame.data(), frame.size());
}

int Reader::Send(const std::uint8_t *payload, std::size_t length)
{
    if (!port_open_)
        return -1;
    PollGuard guard(worker_);
    return SendFrame(payload, length);
}

void Reader::PollReceive()
{
    if (!port_open_)
        return;
    std::uint8_t scratch[kPollMaximum];
    const int got = port_.Read(scratch, sizeof scratch);
    if (got > 0)
        ring_.Append(scratch, static_cast<std::size_t>(got));
    reply_status_ = kNoReply;
    Reply reply;
    if (ring_.Parse(reply)) {
        trace::Reply(reply);
        reply_status_ = reply.status;
        std::copy_n(reply.data.begin(), reply.length, reply_data_.begin());
        std::fill(reply_data_.begin() + static_cast<std::ptrdiff_t>(reply.length), reply_data_.end(), 0);
    }
}

void Reader::WorkerPoll(void *self) { static_cast<Reader *>(self)->PollReceive(); }

int Reader::Exchange(const std::uint8_t *payload, std::size_t length, unsigned timeout_ms,
                     std::array<std::uint8_t, 64> &data)
{
    if (!port_open_)
        return -1;
    PollGuard guard(worker_);
    SendFrame(payload, length);
    const std::uint32_t t0 = ClockMs();
    int status = kNoReply;
    for (;;) {
        PollReceive();
        if (reply_status_ != kNoReply) {
            status = reply_status_;
            std::copy_n(reply_data_.begin(), data.size(), data.begin());
            break;
        }
        // The elapsed time is a 16-bit difference; the time-outs (at most
        // 2000 ms) stay far from its wrap.
        if (static_cast<std::uint16_t>(ClockMs() - t0) > timeout_ms) {
            trace::Timeout(static_cast<std::uint16_t>(ClockMs() - t0));
            break;
        }
        port_.WaitForInput(1);
    }
    worker_.RestartIdleTimer();
    return status;
}

Reader &TheReader()
{
    static Reader reader;
    return reader;
}

} // namespace sampora
