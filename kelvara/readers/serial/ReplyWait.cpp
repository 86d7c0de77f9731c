// The reply wait. The host watches the line in two phases: short looks
// during the first 20 ms of silence, then one continuous watch up to 200 ms.
// Instead of sleeping or polling the queue, each look blocks on the channel
// until a byte arrives or the phase's deadline passes, so the outcomes and
// time-outs stay the same while the CPU stays idle.
#include "kelvara/readers/serial/ReplyWait.h"

#include <algorithm>

namespace kelvara {

int AwaitReply(ReplyChannel &channel, Clock &clock, const CommandFrame &sent, ReplyAssembler &assembler)
{
    std::int64_t t0 = clock.NowMs();
    for (;;) {
        std::uint32_t count = 0;
        const auto room = static_cast<std::uint32_t>(assembler.Room());
        if (room > 0) {
            if (!channel.ReadAvailable(assembler.Tail(), count, room)) {
                return reply::kFailed;
            }
            assembler.Commit(std::min(count, room));
        }
        if (assembler.Complete()) {
            return assembler.Evaluate(sent);
        }
        if (room == 0) {
            // The buffer is full yet the reply is not whole: it cannot be a
            // reply to anything the host sends.
            return reply::kFailed;
        }
        if (count > 0) {
            t0 = clock.NowMs();
            continue;
        }
        const std::int64_t elapsed = clock.NowMs() - t0;
        if (elapsed < kReplyQuietMs) {
            channel.WaitForInput(int(std::min<std::int64_t>(kReplyQuietStepMs, kReplyQuietMs - elapsed)));
        } else if (elapsed <= kReplySilenceMs) {
            channel.WaitForInput(int(kReplySilenceMs + 1 - elapsed));
        } else {
            channel.Reopen();
            return reply::kSilence;
        }
    }
}

void AwaitQuietLine(ReplyChannel &channel, Clock &clock, std::int64_t quietSinceMs, int quietMs, int limitMs)
{
    const std::int64_t start = clock.NowMs();
    std::int64_t lastByte = quietSinceMs;
    std::uint8_t scratch[256];
    for (;;) {
        std::uint32_t count = 0;
        if (!channel.ReadAvailable(scratch, count, sizeof scratch)) {
            return;
        }
        const std::int64_t now = clock.NowMs();
        if (count > 0) {
            lastByte = now;
        }
        const std::int64_t quietLeft = quietMs - (now - lastByte);
        const std::int64_t limitLeft = limitMs - (now - start);
        if (quietLeft <= 0 || limitLeft <= 0) {
            return;
        }
        if (count == 0) {
            channel.WaitForInput(int(std::min(quietLeft, limitLeft)));
        }
    }
}

} // namespace kelvara
