// Waiting for one reply of the serial reader: gathers reply bytes from a
// channel until the reply is whole or the line has been silent too long.
#pragma once

#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/services/Clock.h"

#include <cstddef>
#include <cstdint>

namespace kelvara {

// What waiting for a reply needs from a byte channel. SerialPort provides
// it; tests provide a scripted one.
class ReplyChannel {
public:
    virtual ~ReplyChannel() = default;
    // Takes the bytes already received, at most `room`, without waiting.
    // False when the channel's state cannot be read or the read failed.
    virtual bool ReadAvailable(std::uint8_t *buffer, std::uint32_t &count, std::uint32_t room) = 0;
    // Blocks until bytes may be readable or `timeoutMs` has passed. Must not
    // spin: it sleeps in the OS until one of the two happens.
    virtual void WaitForInput(int timeoutMs) = 0;
    // Closes the channel and opens it again with its last good settings;
    // the outcome is not reported (the next read shows it).
    virtual void Reopen() = 0;
};

// Silence rules of a reply: during the first 20 ms of silence the host
// looks again at least every 10 ms; after 200 ms of silence it gives up.
inline constexpr int kReplyQuietMs = 20;
inline constexpr int kReplyQuietStepMs = 10;
inline constexpr int kReplySilenceMs = 200;

// Collects a reply to `sent` into `reply` (n = `reply`'s body length) and
// returns its status code (reply::k...). Blocks until the reply is whole,
// a read fails (-1) or more than 200 ms pass without a byte (-2, after
// reopening the channel). Elapsed time is measured on `clock`.
int AwaitReply(ReplyChannel &channel, Clock &clock, const CommandFrame &sent, ReplyAssembler &reply);

// Discards whatever arrives until the line has been quiet for `quietMs`,
// counted from `quietSinceMs` or from the last byte seen since, and gives up
// `limitMs` after it began. Blocks for at most `limitMs`; stops early when
// the channel cannot be read.
void AwaitQuietLine(ReplyChannel &channel, Clock &clock, std::int64_t quietSinceMs, int quietMs, int limitMs);

} // namespace kelvara
