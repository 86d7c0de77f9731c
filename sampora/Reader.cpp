// Init, Close, sending, polling and the exchange procedure.
#include "sampora/Reader.h"

#include "sampora/Frame.h"
#include "sampora/Settings.h"
#include "sampora/Trace.h"

#include "common/MonotonicClock.h"

#include <algorithm>

namespace sampora {
namespace {

// Milliseconds of the shared monotonic clock; only differences are used,
// so the count may wrap.
std::uint32_t NowMs() { return static_cast<std::uint32_t>(wqn::MonotonicUs() / 1000); }

} // namespace

// At unload: the worker is stopped as Close would, without waiting for it
// unboundedly under the loader's lock.
Reader::~Reader()
{
    worker_.StopAtUnload();
    portOpen_ = false;
    port_.Close();
}

int Reader::Init()
{
    if (portOpen_)
        Close();
    const LineSettings line = ToLineSettings(LoadReaderSettings());
    if (!IsValidPortNumber(line.port))
        return -1;
    if (!port_.Open(line))
        return -1;
    portOpen_ = true;
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
    portOpen_ = false;
    port_.Close();
}

int Reader::SendFrame(const std::uint8_t *payload, std::size_t length)
{
    if (!portOpen_)
        return -1;
    replyStatus_ = kNoReply;
    const std::vector<std::uint8_t> frame = BuildFrame(payload, length);
    trace::Command(frame.data(), frame.size());
    return port_.Write(frame.data(), frame.size());
}

int Reader::Send(const std::uint8_t *payload, std::size_t length)
{
    if (!portOpen_)
        return -1;
    PollGuard guard(worker_);
    return SendFrame(payload, length);
}

void Reader::PollReceive()
{
    if (!portOpen_)
        return;
    std::uint8_t scratch[kPollMaximum];
    const int got = port_.Read(scratch, sizeof scratch);
    if (got > 0)
        ring_.Append(scratch, static_cast<std::size_t>(got));
    replyStatus_ = kNoReply;
    Reply reply;
    if (ring_.Parse(reply)) {
        trace::Reply(reply);
        replyStatus_ = reply.status;
        std::copy_n(reply.data.begin(), reply.length, replyData_.begin());
        std::fill(replyData_.begin() + static_cast<std::ptrdiff_t>(reply.length), replyData_.end(), 0);
    }
}

void Reader::WorkerPoll(void *self) { static_cast<Reader *>(self)->PollReceive(); }

int Reader::Exchange(const std::uint8_t *payload, std::size_t length, unsigned timeoutMs,
                     std::array<std::uint8_t, 64> &data)
{
    if (!portOpen_)
        return -1;
    PollGuard guard(worker_);
    SendFrame(payload, length);
    const std::uint32_t t0 = NowMs();
    int status = kNoReply;
    for (;;) {
        PollReceive();
        if (replyStatus_ != kNoReply) {
            status = replyStatus_;
            std::copy_n(replyData_.begin(), data.size(), data.begin());
            break;
        }
        // The elapsed time is a 16-bit difference; the time-outs (at most
        // 2000 ms) stay far from its wrap.
        if (static_cast<std::uint16_t>(NowMs() - t0) > timeoutMs) {
            trace::Timeout(static_cast<std::uint16_t>(NowMs() - t0));
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
