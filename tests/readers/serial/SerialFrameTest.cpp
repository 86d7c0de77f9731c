// Command frames and reply assembly of the serial reader.
#include "kelvara/readers/protocol/ReaderFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvara {
namespace {

std::string Hex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += buf;
    }
    return out;
}

std::vector<std::uint8_t> WithChecks(std::vector<std::uint8_t> body)
{
    const CheckBytes c = ComputeCheckBytes(body);
    body.push_back(c.sum);
    body.push_back(c.xorValue);
    return body;
}

std::vector<std::uint8_t> Reply(std::string_view mnemonic, char status, std::vector<std::uint8_t> data = {})
{
    std::vector<std::uint8_t> body(mnemonic.begin(), mnemonic.end());
    body.push_back(std::uint8_t(status));
    body.insert(body.end(), data.begin(), data.end());
    return WithChecks(body);
}

TEST(SerialFrame, CommandFramesMatchTheReaderProtocol)
{
    EXPECT_EQ(Hex(StatFrame()), "53 54 41 54 59 5A 5B 5C 5D 5E 61 15");
    EXPECT_EQ(Hex(LockFrame()), "4C 4F 43 4B 00 00 00 5C 5D 5E 40 54");
    EXPECT_EQ(Hex(ExitFrame()), "45 58 49 54 00 00 00 5C 5D 5E 51 5F");
    EXPECT_EQ(Hex(BaudRateFrame(6)), "42 44 52 54 06 5A 5B 5C 5D 5E FE 58");
    EXPECT_EQ(Hex(ReadFrame(2047, 0, 16)), "52 45 41 44 FF 07 00 00 10 00 32 FA");
}

TEST(SerialFrame, PageParametersAreLittleEndianAndChecked)
{
    const CommandFrame f = WriteFrame(0x0123, 0x0107, 264);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "WRTE");
    EXPECT_EQ(Hex(std::span(f).subspan(4, 6)), "23 01 07 01 08 01");
    const CheckBytes c = ComputeCheckBytes(std::span(f.data(), 10));
    EXPECT_EQ(f[10], c.sum);
    EXPECT_EQ(f[11], c.xorValue);
}

TEST(SerialFrame, StatusReplyIsWholeOnlyAtSevenBytesWhereverItIsSplit)
{
    const auto bytes = Reply("STAT", 'P');
    EXPECT_EQ(Hex(bytes), "53 54 41 54 50 8C 42");
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
        ReplyAssembler r(5);
        r.Append(std::span(bytes.data(), split));
        EXPECT_EQ(r.Complete(), split == bytes.size()) << "split " << split;
        r.Append(std::span(bytes.data() + split, bytes.size() - split));
        ASSERT_TRUE(r.Complete());
        EXPECT_EQ(r.Evaluate(StatFrame()), reply::kDone);
    }
}

TEST(SerialFrame, ReadReplyWaitsForItsDataWhereverItIsSplit)
{
    std::vector<std::uint8_t> data(16);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = std::uint8_t(0xA0 + i);
    }
    const auto bytes = Reply("READ", 'P', data);
    const CommandFrame sent = ReadFrame(2047, 0, 16);
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
        ReplyAssembler r(5 + 16);
        r.Append(std::span(bytes.data(), split));
        EXPECT_EQ(r.Complete(), split == bytes.size()) << "split " << split;
        r.Append(std::span(bytes.data() + split, bytes.size() - split));
        ASSERT_TRUE(r.Complete());
        EXPECT_EQ(r.Evaluate(sent), reply::kDone);
        EXPECT_EQ(std::vector<std::uint8_t>(r.Data().begin(), r.Data().end()), data);
    }
    // Byte by byte.
    ReplyAssembler r(21);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_FALSE(r.Complete());
        r.Append(std::span(bytes.data() + i, 1));
    }
    EXPECT_TRUE(r.Complete());
    EXPECT_EQ(r.Expected(), 23u);
}

TEST(SerialFrame, ShortRepliesToReadEndAtSevenBytes)
{
    const CommandFrame sent = ReadFrame(1, 0, 264);
    for (char status : {'Q', 'S', 'R'}) {
        const auto bytes = Reply("READ", status);
        for (std::size_t split = 0; split <= bytes.size(); ++split) {
            ReplyAssembler r(5 + 264);
            r.Append(std::span(bytes.data(), split));
            r.Append(std::span(bytes.data() + split, bytes.size() - split));
            ASSERT_TRUE(r.Complete());
            EXPECT_EQ(r.Evaluate(sent),
                      status == 'Q'       ? reply::kNoCardQ
                          : status == 'S' ? reply::kNoCardS
                                          : reply::kFailed);
        }
    }
}

TEST(SerialFrame, StatusLettersAndChecksAreJudgedAsTheReaderMeansThem)
{
    const CommandFrame stat = StatFrame();
    auto judge = [&](std::vector<std::uint8_t> bytes) {
        ReplyAssembler r(5);
        r.Append(bytes);
        EXPECT_TRUE(r.Complete());
        return r.Evaluate(stat);
    };
    auto spoil = [](std::vector<std::uint8_t> b) {
        b[5] ^= 0x01;
        return b;
    };
    EXPECT_EQ(judge(Reply("STAT", 'P')), reply::kDone);
    EXPECT_EQ(judge(spoil(Reply("STAT", 'P'))), reply::kFailed); // bad sum
    EXPECT_EQ(judge(spoil(Reply("STAT", 'Q'))), reply::kNoCardQ); // checks not read
    EXPECT_EQ(judge(spoil(Reply("STAT", 'S'))), reply::kNoCardS);
    EXPECT_EQ(judge(Reply("STAT", 'R')), reply::kFailed);
    EXPECT_EQ(judge(Reply("STAT", 'X')), reply::kFailed);
    EXPECT_EQ(judge(Reply("LOCK", 'P')), reply::kFailed); // foreign echo
    auto badXor = Reply("STAT", 'P');
    badXor[6] ^= 0x80;
    EXPECT_EQ(judge(badXor), reply::kFailed);
    // Bytes after the reply are not part of it.
    auto trailing = Reply("STAT", 'P');
    trailing.push_back(0xEE);
    EXPECT_EQ(judge(trailing), reply::kDone);
}

TEST(SerialFrame, OnlyOneWholeReplyWithItsChecksAndEchoIsWellFormed)
{
    const CommandFrame stat = StatFrame();
    auto wellFormed = [&](std::vector<std::uint8_t> bytes, const CommandFrame &sent, std::size_t n = 5) {
        ReplyAssembler r(n);
        r.Append(bytes);
        return r.IsWellFormed(sent);
    };
    for (char status : {'P', 'Q', 'R', 'S'})
        EXPECT_TRUE(wellFormed(Reply("STAT", status), stat)) << status; // a refusal is still in step
    EXPECT_FALSE(wellFormed(Reply("STAT", 'T'), stat));
    EXPECT_FALSE(wellFormed(Reply("LOCK", 'P'), stat)); // the reply to something else
    auto spoiled = Reply("STAT", 'Q');
    spoiled[5] ^= 0x01;
    EXPECT_FALSE(wellFormed(spoiled, stat));
    auto trailing = Reply("STAT", 'P');
    trailing.push_back(0xEE);
    EXPECT_FALSE(wellFormed(trailing, stat)); // more is coming than one reply
    auto shortOne = Reply("STAT", 'P');
    shortOne.pop_back();
    EXPECT_FALSE(wellFormed(shortOne, stat));
    // A read's reply is judged over its data as well.
    const CommandFrame read = ReadFrame(3, 0, 4);
    std::vector<std::uint8_t> data = {'R', 'E', 'A', 'D', 'P', 9, 8, 7, 6};
    const CheckBytes c = ComputeCheckBytes(data);
    data.push_back(c.sum);
    data.push_back(c.xorValue);
    EXPECT_TRUE(wellFormed(data, read, 9));
    data[6] ^= 0x10;
    EXPECT_FALSE(wellFormed(data, read, 9));
    EXPECT_TRUE(wellFormed(Reply("READ", 'R'), read, 9)); // a short refusal
}

} // namespace
} // namespace kelvara
