// The Sampora trace's reading of command frames: which bytes are secret.
#include "sampora/Trace.h"

#include "sampora/Frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

sampora::trace::Decoded Decode(const std::vector<std::uint8_t> &payload, bool secrets)
{
    const std::vector<std::uint8_t> frame = sampora::BuildFrame(payload.data(), payload.size());
    return sampora::trace::DecodeCommand(frame.data(), frame.size(), secrets);
}

TEST(SamporaTraceDecode, KeysSecretsAndMacInputsAreHiddenWithTheCheckByte)
{
    // DownSecret: selector 1, sector 3, key A1..A6.
    const std::vector<std::uint8_t> key{0x34, 0x01, 0x03, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    sampora::trace::Decoded d = Decode(key, false);
    EXPECT_EQ(d.summary, "DownSecret selector=1 sector=3 key=<6 hidden>");
    EXPECT_EQ(d.hex, "60 09 34 01 03 <7 hidden> 03");
    d = Decode(key, true);
    EXPECT_EQ(d.summary, "DownSecret selector=1 sector=3 key=A1 A2 A3 A4 A5 A6");
    EXPECT_EQ(d.hex.substr(0, 33), "60 09 34 01 03 A1 A2 A3 A4 A5 A6 ");

    // WriteSecret: 16 data bytes.
    std::vector<std::uint8_t> secret{0x3A, 0x00, 0x0F};
    for (int i = 0; i < 16; ++i)
        secret.push_back(static_cast<std::uint8_t>(0xC0 + i));
    d = Decode(secret, false);
    EXPECT_EQ(d.summary, "WriteSecret selector=0 sector=15 secret=<16 hidden>");
    EXPECT_EQ(d.hex.find("C0"), std::string::npos);

    // WriteMAC: the length stays, both values and the bytes go.
    const std::vector<std::uint8_t> mac{0x3C, 0x02, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    d = Decode(mac, false);
    EXPECT_EQ(d.summary, "WriteMAC length=2 mac_input=<6 hidden>");
    EXPECT_EQ(d.hex, "60 08 3C 02 <7 hidden> 03");
}

TEST(SamporaTraceDecode, OtherCommandsShowTheirParametersAndData)
{
    EXPECT_EQ(Decode({0x32, 0x01, 0x05}, false).summary, "ReadBlock selector=1 block=5");
    EXPECT_EQ(Decode({0x3B, 0x01, 0x02, 0x02, 0x01, 0x03}, false).summary,
              "ReadCardFile file_high=1 file_low=2 index=2 first=1 count=3");
    const sampora::trace::Decoded write = Decode({0x33, 0x00, 0x08, 0xDE, 0xAD}, false);
    EXPECT_EQ(write.summary, "WriteBlock selector=0 block=8 data=DE AD");
    EXPECT_EQ(write.hex.find("hidden"), std::string::npos);
    EXPECT_EQ(Decode({0x0A}, false).summary, "OpCorrectDeep");
    EXPECT_EQ(Decode({0x77, 0x01}, false).summary, "command=77 extra=1");
    // A frame whose length byte does not match its size is shown as it is.
    const std::uint8_t torn[] = {0x60, 0x05, 0x31, 0x51, 0x03};
    EXPECT_EQ(sampora::trace::DecodeCommand(torn, sizeof torn, false).summary, "frame");
}

} // namespace
