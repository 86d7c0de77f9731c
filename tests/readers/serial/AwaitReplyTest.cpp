// The reply wait on a scripted line and a scripted clock: when it gives up,
// when it keeps waiting, and that it waits on the line instead of spinning.
#include "kelvara/readers/serial/ReplyWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <vector>

namespace kelvara {
namespace {

class FakeClock final : public Clock {
public:
    std::int64_t NowMs() override { return now; }
    void SleepMs(int ms) override { now += std::max(ms, 0); }
    std::int64_t now = 1000;
};

// Bytes that arrive at given times; waiting advances the clock to the next
// arrival or to the end of the wait, whichever is first.
class ScriptedLine final : public ReplyChannel {
public:
    explicit ScriptedLine(FakeClock &clock)
        : clock_(clock)
    {
    }

    void Arrive(std::int64_t at, std::vector<std::uint8_t> bytes) { arrivals_.push_back({at, std::move(bytes)}); }

    bool ReadAvailable(std::uint8_t *buffer, std::uint32_t &count, std::uint32_t room) override
    {
        ++reads;
        count = 0;
        if (failReads) {
            return false;
        }
        Deliver();
        count = std::uint32_t(std::min<std::size_t>({queue_.size(), room, 1024}));
        std::copy_n(queue_.begin(), count, buffer);
        queue_.erase(queue_.begin(), queue_.begin() + count);
        return true;
    }

    void WaitForInput(int timeoutMs) override
    {
        waits.push_back(timeoutMs);
        Deliver();
        if (!queue_.empty()) {
            return;
        }
        std::int64_t until = clock_.now + timeoutMs;
        if (!arrivals_.empty()) {
            until = std::min(until, arrivals_.front().at);
        }
        clock_.now = std::max(clock_.now, until);
    }

    void Reopen() override { ++reopens; }

    std::vector<int> waits;
    int reopens = 0;
    int reads = 0;
    bool failReads = false;

private:
    struct Arrival {
        std::int64_t at;
        std::vector<std::uint8_t> bytes;
    };
    void Deliver()
    {
        while (!arrivals_.empty() && arrivals_.front().at <= clock_.now) {
            queue_.insert(queue_.end(), arrivals_.front().bytes.begin(), arrivals_.front().bytes.end());
            arrivals_.pop_front();
        }
    }
    FakeClock &clock_;
    std::deque<Arrival> arrivals_;
    std::deque<std::uint8_t> queue_;
};

const std::vector<std::uint8_t> kStatOk = {0x53, 0x54, 0x41, 0x54, 0x50, 0x8C, 0x42};

class AwaitReplyTest : public ::testing::Test {
protected:
    int Await(std::size_t n = 5)
    {
        ReplyAssembler reply(n);
        return AwaitReply(line, clock, StatFrame(), reply);
    }
    FakeClock clock;
    ScriptedLine line{clock};
};

TEST_F(AwaitReplyTest, ReplyAlreadyWaitingNeedsNoWait)
{
    line.Arrive(clock.now, kStatOk);
    EXPECT_EQ(Await(), reply::kDone);
    EXPECT_TRUE(line.waits.empty());
}

TEST_F(AwaitReplyTest, SilenceOfMoreThan200MsReopensThePort)
{
    const std::int64_t start = clock.now;
    EXPECT_EQ(Await(), reply::kSilence);
    EXPECT_EQ(line.reopens, 1);
    EXPECT_EQ(clock.now - start, 201);
    // Short looks during the first 20 ms, then one wait to the deadline: the
    // line is waited on, not polled in a loop.
    EXPECT_EQ(line.waits, (std::vector<int>{10, 10, 181}));
}

TEST_F(AwaitReplyTest, ReplyAtExactly200MsIsStillTaken)
{
    line.Arrive(clock.now + 200, kStatOk);
    EXPECT_EQ(Await(), reply::kDone);
    EXPECT_EQ(line.reopens, 0);
}

TEST_F(AwaitReplyTest, EachArrivingPieceRestartsTheSilenceCount)
{
    const std::int64_t start = clock.now;
    for (std::size_t i = 0; i < kStatOk.size(); ++i) {
        line.Arrive(start + 150 * std::int64_t(i + 1), {kStatOk[i]});
    }
    EXPECT_EQ(Await(), reply::kDone);
    EXPECT_EQ(line.reopens, 0);
    EXPECT_LE(line.waits.size(), 4 * kStatOk.size());
}

TEST_F(AwaitReplyTest, ReplyStoppingHalfWayTimesOutAfterItsLastByte)
{
    const std::int64_t start = clock.now;
    line.Arrive(start + 50, {kStatOk.begin(), kStatOk.begin() + 4});
    EXPECT_EQ(Await(), reply::kSilence);
    EXPECT_EQ(clock.now, start + 50 + 201);
    EXPECT_EQ(line.reopens, 1);
}

TEST_F(AwaitReplyTest, ReadReplyWaitsForItsDataAfterTheStatusLetter)
{
    std::vector<std::uint8_t> reply = {'R', 'E', 'A', 'D', 'P', 1, 2, 3};
    CheckBytes c = ComputeCheckBytes(reply);
    reply.push_back(c.sum);
    reply.push_back(c.xorValue);
    line.Arrive(clock.now + 5, {reply.begin(), reply.begin() + 7});
    line.Arrive(clock.now + 100, {reply.begin() + 7, reply.end()});
    ReplyAssembler assembled(5 + 3);
    EXPECT_EQ(AwaitReply(line, clock, ReadFrame(0, 0, 3), assembled), reply::kDone);
    EXPECT_EQ(assembled.Received(), reply.size());
}

TEST_F(AwaitReplyTest, FailedReadGivesMinusOneWithoutReopening)
{
    line.failReads = true;
    EXPECT_EQ(Await(), reply::kFailed);
    EXPECT_EQ(line.reopens, 0);
}

TEST_F(AwaitReplyTest, NoCardRepliesEndTheWaitWithTheirCodes)
{
    line.Arrive(clock.now + 30, {'S', 'T', 'A', 'T', 'Q', 0, 0});
    EXPECT_EQ(Await(), reply::kNoCardQ);
}

TEST_F(AwaitReplyTest, QuietLineWaitThrowsAwayWhatArrivesUntilTheLineRestsLongEnough)
{
    const std::int64_t start = clock.now;
    // Quiet counted from 50 ms ago; a late reply at +100 ms restarts it.
    line.Arrive(start + 100, kStatOk);
    AwaitQuietLine(line, clock, start - 50, 200, 500);
    EXPECT_EQ(clock.now, start + 100 + 200);
    std::uint8_t buffer[16];
    std::uint32_t count = 99;
    ASSERT_TRUE(line.ReadAvailable(buffer, count, sizeof buffer));
    EXPECT_EQ(count, 0u); // the late bytes were discarded
}

TEST_F(AwaitReplyTest, QuietLineWaitEndsAtOnceWhenTheLineRestedAlready)
{
    AwaitQuietLine(line, clock, clock.now - 250, 200, 500);
    EXPECT_TRUE(line.waits.empty());
}

TEST_F(AwaitReplyTest, QuietLineWaitGivesUpOnEndlessNoise)
{
    const std::int64_t start = clock.now;
    for (int t = 10; t < 2000; t += 10)
        line.Arrive(start + t, {0x55});
    AwaitQuietLine(line, clock, start, 200, 500);
    EXPECT_LE(clock.now - start, 500);
    EXPECT_GE(clock.now - start, 490);
}

TEST_F(AwaitReplyTest, QuietLineWaitStopsOnAFailedRead)
{
    line.failReads = true;
    AwaitQuietLine(line, clock, clock.now, 200, 500);
    EXPECT_EQ(line.reads, 1);
    EXPECT_TRUE(line.waits.empty());
}

} // namespace
} // namespace kelvara
