// Fuzz target: the serial reader's reply wait and reply assembly.
//
// Input: a command selector (STAT, READ of a length, WRTE, LOCK), the quiet
// time and limit of the wait that follows, then line events, each an event
// byte and its operand: bytes arriving in one chunk,
// a pause of some milliseconds, or a failing read. A scripted line delivers
// them to AwaitReply on a scripted clock.
//
// Properties: the wait ends; a reply taken as done ('P', 0) echoes the
// command, holds valid check bytes over its body and hands out exactly the
// data bytes the line carried; 'Q' and 'S' are what the status byte said;
// silence (-2) comes only after more than 200 ms without a byte, and reopens
// the line once; a reply counts as well formed exactly when it is one whole
// reply with a reader's letter, valid check bytes and the echo. Then the rest
// of the line is waited out: the quiet-line wait ends once no byte came for
// its quiet time, at its limit, or on a failed read, never later.
#include "fuzz/FuzzInput.h"
#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/readers/serial/ReplyWait.h"

#include <deque>
#include <string>

namespace {

using namespace kelvara;

struct Event {
    enum Kind { Bytes, Pause, Failure } kind;
    std::string bytes;
    int pauseMs = 0;
};

class ScriptedLine final : public ReplyChannel, public Clock {
public:
    explicit ScriptedLine(std::deque<Event> events)
        : events_(std::move(events))
    {
    }

    bool ReadAvailable(std::uint8_t *buffer, std::uint32_t &count, std::uint32_t room) override
    {
        count = 0;
        if (events_.empty())
            return true;
        Event &next = events_.front();
        if (next.kind == Event::Failure) {
            events_.pop_front();
            ++failures;
            return false;
        }
        if (next.kind != Event::Bytes)
            return true;
        const std::size_t n = std::min<std::size_t>(room, next.bytes.size());
        std::copy_n(next.bytes.begin(), n, buffer);
        delivered.append(next.bytes, 0, n);
        next.bytes.erase(0, n);
        count = std::uint32_t(n);
        if (n > 0)
            lastByteMs = now_;
        if (next.bytes.empty())
            events_.pop_front();
        return true;
    }

    void WaitForInput(int timeoutMs) override
    {
        FUZZ_CHECK(timeoutMs >= 0 && timeoutMs <= longestWaitMs);
        if (!events_.empty() && events_.front().kind == Event::Pause) {
            Event &pause = events_.front();
            const int step = std::min(timeoutMs, pause.pauseMs);
            now_ += step;
            pause.pauseMs -= step;
            if (pause.pauseMs == 0)
                events_.pop_front();
            return;
        }
        if (events_.empty())
            now_ += timeoutMs; // nothing more will come
    }

    void Reopen() override { ++reopens; }

    std::int64_t NowMs() override { return now_; }
    void SleepMs(int ms) override { now_ += ms; }

    std::string delivered;
    std::int64_t lastByteMs = 0;
    int reopens = 0;
    int failures = 0;
    int longestWaitMs = kReplySilenceMs + 1;

private:
    std::deque<Event> events_;
    std::int64_t now_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    CommandFrame sent;
    std::size_t bodyLength = 5;
    switch (in.Byte() % 4) {
    case 0:
        sent = StatFrame();
        break;
    case 1: {
        // Up to a few bytes more than the reply buffer holds, to reach the
        // wait's guard against a reply that cannot fit.
        const int length = in.Word() % (kMaxReadLength + 8);
        sent = ReadFrame(in.Word() % 2048, 0, length);
        bodyLength = 5 + std::size_t(length);
        break;
    }
    case 2:
        sent = WriteFrame(in.Word() % 2048, 0, 264);
        break;
    default:
        sent = LockFrame();
        break;
    }
    // The quiet-line wait that follows the reply: its quiet time and limit.
    const int quietMs = 1 + in.Byte();
    const int limitMs = quietMs + in.Byte() * 2;
    std::deque<Event> events;
    while (!in.Empty() && events.size() < 4096) {
        const std::uint8_t kind = in.Byte();
        if (kind < 0xC0) {
            const std::string_view bytes = in.Bytes(1 + kind % 64);
            if (!bytes.empty())
                events.push_back({Event::Bytes, std::string(bytes), 0});
        } else if (kind < 0xFE) {
            events.push_back({Event::Pause, {}, 1 + 4 * in.Byte()});
        } else {
            events.push_back({Event::Failure, {}, 0});
        }
    }

    ScriptedLine line(std::move(events));
    ReplyAssembler reply(bodyLength);
    const int status = AwaitReply(line, line, sent, reply);
    const std::string got = line.delivered; // the line carries on below
    FUZZ_CHECK(reply.Received() == got.size());
    switch (status) {
    case reply::kDone: {
        FUZZ_CHECK(got.size() >= bodyLength + 2 && got[4] == 'P');
        FUZZ_CHECK(std::equal(sent.begin(), sent.begin() + 4, got.begin()));
        const CheckBytes check =
            ComputeCheckBytes(std::span(reinterpret_cast<const std::uint8_t *>(got.data()), bodyLength));
        FUZZ_CHECK(std::uint8_t(got[bodyLength]) == check.sum && std::uint8_t(got[bodyLength + 1]) == check.xorValue);
        const auto payload = reply.Data();
        FUZZ_CHECK(payload.size() == bodyLength - 5);
        FUZZ_CHECK(std::equal(payload.begin(), payload.end(), got.begin() + 5,
                              [](std::uint8_t a, char b) { return a == std::uint8_t(b); }));
        break;
    }
    case reply::kNoCardQ:
        FUZZ_CHECK(got.size() >= kShortReplySize && got[4] == 'Q');
        break;
    case reply::kNoCardS:
        FUZZ_CHECK(got.size() >= kShortReplySize && got[4] == 'S');
        break;
    case reply::kSilence:
        FUZZ_CHECK(line.NowMs() - line.lastByteMs > kReplySilenceMs);
        FUZZ_CHECK(line.reopens == 1);
        break;
    default:
        FUZZ_CHECK(status == reply::kFailed);
        break;
    }
    if (status != reply::kSilence)
        FUZZ_CHECK(line.reopens == 0);

    // The same bytes appended in one piece make the same reply.
    ReplyAssembler again(bodyLength);
    again.Append(std::span(reinterpret_cast<const std::uint8_t *>(got.data()), got.size()));
    if (again.Complete())
        FUZZ_CHECK(again.Evaluate(sent) == status);
    else
        FUZZ_CHECK(status == reply::kFailed || status == reply::kSilence);

    // Well formed: exactly one whole reply with one of the reader's letters,
    // valid check bytes over its body and the command's echo.
    {
        const bool dataReply = got.size() >= kShortReplySize && got[4] == 'P' && bodyLength > 5;
        const std::size_t whole = dataReply ? bodyLength + 2 : kShortReplySize;
        bool expected = got.size() == whole && got[4] >= 'P' && got[4] <= 'S' &&
            std::equal(sent.begin(), sent.begin() + 4, got.begin());
        if (expected) {
            const CheckBytes c =
                ComputeCheckBytes(std::span(reinterpret_cast<const std::uint8_t *>(got.data()), whole - 2));
            expected = std::uint8_t(got[whole - 2]) == c.sum && std::uint8_t(got[whole - 1]) == c.xorValue;
        }
        FUZZ_CHECK(reply.IsWellFormed(sent) == expected);
    }

    // What is left of the line then has to go quiet: the wait ends once no
    // byte came for quietMs, or at its limit, or on a failed read, never later.
    line.longestWaitMs = limitMs;
    const std::int64_t quietSince = line.lastByteMs;
    const std::int64_t start = line.NowMs();
    const int failuresBefore = line.failures;
    AwaitQuietLine(line, line, quietSince, quietMs, limitMs);
    const std::int64_t end = line.NowMs();
    FUZZ_CHECK(end - start <= limitMs);
    if (line.failures == failuresBefore)
        FUZZ_CHECK(end - std::max(quietSince, line.lastByteMs) >= quietMs || end - start >= limitMs);

    // Every command frame the reader is sent carries its own check bytes.
    for (const CommandFrame &frame : {StatFrame(), BaudRateFrame(std::uint8_t(size % 7)), ReadFrame(2047, 0, 264),
                                      WriteFrame(0, 0, 264), LockFrame(), ExitFrame(), sent}) {
        const CheckBytes c = ComputeCheckBytes(std::span(frame.data(), kCommandFrameSize - 2));
        FUZZ_CHECK(frame[10] == c.sum && frame[11] == c.xorValue);
    }
    return 0;
}
