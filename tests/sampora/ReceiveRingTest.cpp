// The receive ring's frame parser: frames fed in every possible split, the
// frame-length limit, garbled frames and the ring's own limits.
#include "sampora/ReceiveRing.h"

#include "sampora/Frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using sampora::ReceiveRing;
using sampora::Reply;

Bytes Framed(const Bytes &payload) { return sampora::BuildFrame(payload.data(), payload.size()); }

void Append(ReceiveRing &ring, const Bytes &bytes, std::size_t from = 0, std::size_t to = SIZE_MAX)
{
    to = std::min(to, bytes.size());
    if (from < to) {
        ASSERT_EQ(ring.Append(bytes.data() + from, to - from), to - from);
    }
}

// Moves head and tail to `offset` so a frame appended next crosses the
// ring's end when offset is close to it.
void Advance(ReceiveRing &ring, std::size_t offset)
{
    Reply reply;
    Bytes filler(offset, 0x55);
    Append(ring, filler);
    EXPECT_FALSE(ring.Parse(reply));
    ASSERT_EQ(ring.Size(), 0u);
}

Bytes Payload(std::uint8_t status, std::size_t dataBytes, std::uint8_t first = 0x00)
{
    Bytes p{status};
    for (std::size_t i = 0; i < dataBytes; ++i)
        p.push_back(static_cast<std::uint8_t>(first + i));
    return p;
}

void ExpectReply(const Reply &reply, const Bytes &payload)
{
    EXPECT_EQ(reply.status, payload[0]);
    ASSERT_EQ(reply.length, payload.size() - 1);
    for (std::size_t i = 1; i < payload.size(); ++i)
        EXPECT_EQ(reply.data[i - 1], payload[i]) << "data byte " << i - 1;
}

TEST(ReceiveRing, RecognisesTheSmallestReply)
{
    ReceiveRing ring;
    Reply reply;
    Append(ring, {0x60, 0x01, 0x01, 0x60, 0x03});
    ASSERT_TRUE(ring.Parse(reply));
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.length, 0u);
    EXPECT_FALSE(ring.Parse(reply));
}

TEST(ReceiveRing, EveryFrameSplitAtEveryByteBoundaryAndRingPosition)
{
    const std::vector<Bytes> payloads = {
        Payload(0x01, 0),
        Payload(0x00, 4),
        Payload(0x01, 16, 0x58), // data holding a start mark
        Bytes{0x60, 0x03, 0x60, 0x01, 0x03},
        Payload(0x01, 64, 0xF0), // the longest frame recognised: 69 bytes
    };
    for (const std::size_t offset : {std::size_t{0}, std::size_t{300}, std::size_t{340}, std::size_t{344}}) {
        for (const Bytes &payload : payloads) {
            const Bytes frame = Framed(payload);
            for (std::size_t split = 1; split < frame.size(); ++split) {
                SCOPED_TRACE("offset " + std::to_string(offset) + " frame of " + std::to_string(frame.size()) +
                             " split at " + std::to_string(split));
                ReceiveRing ring;
                Advance(ring, offset);
                Reply reply;
                Append(ring, frame, 0, split);
                ASSERT_FALSE(ring.Parse(reply));
                Append(ring, frame, split);
                ASSERT_TRUE(ring.Parse(reply));
                ExpectReply(reply, payload);
                EXPECT_FALSE(ring.Parse(reply));
            }
        }
    }
}

TEST(ReceiveRing, FrameFedOneByteAtATimeCompletesOnItsLastByte)
{
    const Bytes payload = Payload(0x01, 64, 0x40);
    const Bytes frame = Framed(payload);
    ReceiveRing ring;
    Reply reply;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        Append(ring, frame, i, i + 1);
        ASSERT_EQ(ring.Parse(reply), i + 1 == frame.size()) << "after byte " << i;
    }
    ExpectReply(reply, payload);
}

TEST(ReceiveRing, SkipsNoiseBeforeAFrameAndKeepsTheFollowingOne)
{
    const Bytes first = Payload(0x05, 2, 0xA0);
    const Bytes second = Payload(0x01, 3, 0xB0);
    Bytes stream{0x03, 0x55, 0x00, 0xFF};
    for (const Bytes &p : {first, second}) {
        const Bytes f = Framed(p);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        ReceiveRing ring;
        Reply reply;
        std::vector<Bytes> seen;
        Append(ring, stream, 0, split);
        while (ring.Parse(reply))
            seen.push_back(Bytes{});
        Append(ring, stream, split);
        while (ring.Parse(reply))
            seen.push_back(Bytes{});
        EXPECT_EQ(seen.size(), 2u);
    }
    ReceiveRing ring;
    Reply reply;
    Append(ring, stream);
    ASSERT_TRUE(ring.Parse(reply));
    ExpectReply(reply, first);
    ASSERT_TRUE(ring.Parse(reply));
    ExpectReply(reply, second);
}

TEST(ReceiveRing, StartMarkAloneOrWithItsLengthWaitsAtTheHead)
{
    ReceiveRing ring;
    Reply reply;
    Append(ring, {0x11, 0x22, 0x60});
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Size(), 1u);
    EXPECT_EQ(ring.Head(), 2u);
    Append(ring, {0x01});
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Head(), 2u);
    Append(ring, {0x01, 0x60, 0x03});
    EXPECT_TRUE(ring.Parse(reply));
}

TEST(ReceiveRing, CompletedFrameLeavesItsEndMarkAtTheHead)
{
    ReceiveRing ring;
    Reply reply;
    Append(ring, Framed(Payload(0x01, 2)));
    ASSERT_TRUE(ring.Parse(reply));
    EXPECT_EQ(ring.Size(), 1u);
    EXPECT_EQ(ring.Head(), 6u) << "a two-data-byte frame is 7 bytes long";
}

TEST(ReceiveRing, FrameLongerThanSixtyNineBytesIsNeverRecognised)
{
    // 65 data bytes with a correct check byte and end mark: 70 bytes.
    const Bytes tooLong = Framed(Payload(0x01, 65, 0x00));
    ASSERT_EQ(tooLong.size(), 70u);
    const Bytes good = Payload(0x01, 1, 0x77);
    ReceiveRing ring;
    Reply reply;
    Append(ring, tooLong);
    EXPECT_FALSE(ring.Parse(reply));
    // The frame that follows is found once the long one has been given up.
    Append(ring, Framed(good));
    int found = 0;
    for (int i = 0; i < 4 && found == 0; ++i) {
        if (ring.Parse(reply)) {
            ++found;
            ExpectReply(reply, good);
        }
    }
    EXPECT_EQ(found, 1);
}

TEST(ReceiveRing, BadCheckByteHoldsParsingUntilMoreThanSixtyNineBytesFollowItsLength)
{
    const Bytes bad{0x60, 0x01, 0x01, 0x61, 0x03}; // check byte should be 0x60
    ReceiveRing ring;
    Reply reply;
    Append(ring, bad);
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Head(), 0u);
    // 3 bytes follow the length byte so far; 66 more make 69: still held.
    Append(ring, Bytes(66, 0x55));
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Head(), 0u) << "69 bytes after the length byte must not give the start mark up";
    // A valid reply arriving now is stuck behind the garbled one...
    const Bytes good = Payload(0x01, 2, 0x10);
    Append(ring, Framed(good));
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Head(), 1u) << "the start mark is given up at the length byte";
    // ...and found by the next run, which searches again from there.
    ASSERT_TRUE(ring.Parse(reply));
    ExpectReply(reply, good);
}

TEST(ReceiveRing, GivenUpFrameNeverCompletesWhenItsPositionWrapsAround)
{
    // A garbled one-byte frame followed by bytes that would make the wrapped
    // frame position meet L + 4 again with a zero check and an end mark at
    // the 72nd byte after the length byte. That must not count as a reply.
    Bytes stream{0x60, 0x01};
    stream.insert(stream.end(), 70, 0x55); // exclusive-or of an even count: 0
    stream.push_back(0x61); // cancels 0x60 ^ 0x01
    stream.push_back(0x03);
    ReceiveRing ring;
    Reply reply;
    Append(ring, stream);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(ring.Parse(reply)) << "run " << i;
}

TEST(ReceiveRing, EmptyPayloadFrameIsSkippedWithoutAStatus)
{
    ReceiveRing ring;
    Reply reply;
    reply.data.fill(0xEE);
    Append(ring, {0x60, 0x00, 0x60, 0x03});
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(reply.status, -1);
    EXPECT_EQ(reply.data[0], 0xEE) << "no data may be copied for an empty frame";
    EXPECT_EQ(ring.Size(), 0u) << "the empty frame is consumed and the search goes on";
    const Bytes good = Payload(0x02, 1, 0x42);
    Append(ring, {0x60, 0x00, 0x60, 0x03});
    Append(ring, Framed(good));
    ASSERT_TRUE(ring.Parse(reply));
    ExpectReply(reply, good);
}

TEST(ReceiveRing, ShortReplyClearsDataLeftFromALongerOne)
{
    ReceiveRing ring;
    Reply reply;
    Append(ring, Framed(Payload(0x01, 8, 0x90)));
    ASSERT_TRUE(ring.Parse(reply));
    Append(ring, Framed(Payload(0x01, 2, 0x10)));
    ASSERT_TRUE(ring.Parse(reply));
    EXPECT_EQ(reply.data[2], 0);
    EXPECT_EQ(reply.data[7], 0);
}

TEST(ReceiveRing, DropsBytesWhenFull)
{
    ReceiveRing ring;
    Bytes many(400, 0x60);
    EXPECT_EQ(ring.Append(many.data(), many.size()), ReceiveRing::kCapacity);
    EXPECT_EQ(ring.Size(), 344u);
    const std::uint8_t one = 0x01;
    EXPECT_EQ(ring.Append(&one, 1), 0u);
}

TEST(ReceiveRing, NoiseWithoutStartMarkEmptiesTheRing)
{
    ReceiveRing ring;
    Reply reply;
    Bytes noise(344, 0x03);
    Append(ring, noise);
    EXPECT_FALSE(ring.Parse(reply));
    EXPECT_EQ(ring.Size(), 0u);
    EXPECT_EQ(ring.Head(), ring.Tail());
}

TEST(Frame, BuildsStartLengthPayloadCheckAndEnd)
{
    const Bytes payload{0x3B, 0x01, 0x02, 0x02, 0x01, 0x03};
    EXPECT_EQ(Framed(payload), (Bytes{0x60, 0x06, 0x3B, 0x01, 0x02, 0x02, 0x01, 0x03, 0x5E, 0x03}));
    EXPECT_EQ(Framed({0xE0}), (Bytes{0x60, 0x01, 0xE0, 0x81, 0x03}));
}

} // namespace
