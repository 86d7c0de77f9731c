// The USB reader's frames byte for byte, and its two readings of a reply.
#include "kelvara/readers/usb/UsbFrames.h"
#include "kelvara/readers/protocol/FrameTrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kelvara {
namespace {

std::string Hex(const CommandFrame &f)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < f.size(); ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", f[i]);
        s += b;
    }
    return s;
}

// The wire trace names every command of both command sets, the legacy
// ones with the digits in their mnemonics included, and their parameters.
TEST(UsbFrames, TheTraceSummarisesEveryCommandFrame)
{
    using namespace usb_frame;
    EXPECT_EQ(trace::CommandSummary(Read(false, 7, 8, 9)), "READ page=7 offset=8 length=9");
    EXPECT_EQ(trace::CommandSummary(Read(true, 2047, 263, 1)), "RE98 page=2047 offset=263 length=1");
    EXPECT_EQ(trace::CommandSummary(Write(true, 5, 0, 264)), "WR98 page=5 offset=0 length=264");
    EXPECT_EQ(trace::CommandSummary(Part(3, 57)), "PART piece=3 length=57");
    EXPECT_EQ(trace::CommandSummary(Stat(true)), "ST98");
    EXPECT_EQ(trace::CommandSummary(Version(true)), "GE98");
    EXPECT_EQ(trace::CommandSummary(Lock()), "LOCK");
}

TEST(UsbFrames, EveryCommandFrame)
{
    using namespace usb_frame;
    EXPECT_EQ(Hex(Stat(false)), "53 54 41 54 59 5A 5B 5C 5D 5E 61 15");
    EXPECT_EQ(Hex(Stat(true)), "53 54 39 38 59 5A 5B 5C 5D 5E 3D 01");
    EXPECT_EQ(Hex(Version(false)), "47 45 54 56 00 00 00 5C 5D 5E 4D 5F");
    EXPECT_EQ(Hex(Version(true)), "47 45 39 38 00 00 00 5C 5D 5E 14 5C");
    EXPECT_EQ(Hex(Exit()), "45 58 49 54 00 00 00 5C 5D 5E 51 5F");
    EXPECT_EQ(Hex(Lock()), "4C 4F 43 4B 00 00 00 5C 5D 5E 40 54");
    EXPECT_EQ(Hex(Read(false, 2047, 0, 264)), "52 45 41 44 FF 07 00 00 08 01 2B E3");
    EXPECT_EQ(Hex(Read(true, 2047, 0, 264)), "52 45 39 38 FF 07 00 00 08 01 17 E7");
    EXPECT_EQ(Hex(Write(false, 2047, 0, 264)), "57 52 54 45 FF 07 00 00 08 01 51 E5");
    EXPECT_EQ(Hex(Write(true, 2047, 0, 264)), "57 52 39 38 FF 07 00 00 08 01 29 F5");
    EXPECT_EQ(Hex(Part(1, 57)), "50 41 52 54 01 00 00 00 39 00 71 2F");
    EXPECT_EQ(Hex(Part(4, 36)), "50 41 52 54 04 00 00 00 24 00 5F 37");
}

// A seven-byte reply echoing STAT with `letter`, its check bytes correct
// or spoiled.
std::vector<std::uint8_t> StatusReply(char letter, bool validChecks)
{
    std::vector<std::uint8_t> r = {0x53, 0x54, 0x41, 0x54, std::uint8_t(letter), 0, 0};
    std::uint8_t sum = 0, x = 0;
    for (int i = 0; i < 5; ++i) {
        sum = std::uint8_t(sum + r[std::size_t(i)]);
        x = std::uint8_t(x ^ r[std::size_t(i)]);
    }
    r[5] = std::uint8_t(validChecks ? sum : sum + 1);
    r[6] = x;
    return r;
}

TEST(UsbFrames, DecodeStatusReadsTheLetterAndOnlySomeLettersNeedValidChecks)
{
    const std::vector<std::uint8_t> ready = {0x53, 0x54, 0x41, 0x54, 0x50, 0x8C, 0x42};
    EXPECT_EQ(usb_frame::DecodeStatus(ready.data(), 5), 0);
    EXPECT_EQ(StatusReply('P', true), ready);

    struct Row {
        char letter;
        int valid;
        int invalid;
    };
    for (const Row row : {Row{'P', 0, -1}, Row{'Q', 1, 1}, Row{'R', -1, -1}, Row{'S', 2, 2}, Row{'T', -2, -1},
                          Row{'U', 3, -1}, Row{'V', -1, -1}, Row{'p', -1, -1}}) {
        EXPECT_EQ(usb_frame::DecodeStatus(StatusReply(row.letter, true).data(), 5), row.valid) << row.letter;
        EXPECT_EQ(usb_frame::DecodeStatus(StatusReply(row.letter, false).data(), 5), row.invalid) << row.letter;
    }
}

TEST(UsbFrames, CheckReplySumIgnoresTheLetterAndCoversTheData)
{
    EXPECT_EQ(usb_frame::CheckReplySum(StatusReply('R', true).data(), 5), 0);
    EXPECT_EQ(usb_frame::CheckReplySum(StatusReply('P', false).data(), 5), -1);

    // A data reply: the check bytes cover the data too, so one changed data
    // byte spoils them.
    std::vector<std::uint8_t> r = {'R', 'E', '9', '8', 'P', 1, 2, 3, 0, 0};
    std::uint8_t sum = 0, x = 0;
    for (int i = 0; i < 8; ++i) {
        sum = std::uint8_t(sum + r[std::size_t(i)]);
        x = std::uint8_t(x ^ r[std::size_t(i)]);
    }
    r[8] = sum;
    r[9] = x;
    EXPECT_EQ(usb_frame::CheckReplySum(r.data(), 8), 0);
    r[6] = 9;
    EXPECT_EQ(usb_frame::CheckReplySum(r.data(), 8), -1);
}

TEST(UsbFrames, FirstLegacyReplyHoldsAtMostOnePiece)
{
    EXPECT_EQ(usb_frame::FirstLegacyReplySize(56), 63u);
    EXPECT_EQ(usb_frame::FirstLegacyReplySize(57), 64u);
    EXPECT_EQ(usb_frame::FirstLegacyReplySize(264), 64u);
}

} // namespace
} // namespace kelvara
