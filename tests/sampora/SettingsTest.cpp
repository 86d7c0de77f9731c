// INI lookup with the Windows profile rules and the low-byte line settings.
#include "sampora/Settings.h"

#include <gtest/gtest.h>

namespace {

using sampora::ProfileInt;
using sampora::ReaderSettings;
using sampora::ToLineSettings;

constexpr char kIni[] = "; reader settings\r\n"
                        "[other]\r\n"
                        "port=5\r\n"
                        "[Reader]\r\n"
                        "  PORT = 3  \r\n"
                        "baud=19200\n"
                        "paritybit=0x4F\n"
                        "databit=seven\n"
                        "stopbit=-1\n"
                        "empty=\n";

TEST(ProfileInt, ReadsKeysOfTheNamedSectionIgnoringCase)
{
    EXPECT_EQ(ProfileInt(kIni, "reader", "port", 1), 3u);
    EXPECT_EQ(ProfileInt(kIni, "READER", "Baud", 9600), 19200u);
    EXPECT_EQ(ProfileInt(kIni, "other", "port", 1), 5u);
}

TEST(ProfileInt, MissingSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(ProfileInt(kIni, "reader", "missing", 42), 42u);
    EXPECT_EQ(ProfileInt(kIni, "nosuch", "port", 7), 7u);
    EXPECT_EQ(ProfileInt("", "reader", "port", 1), 1u);
}

TEST(ProfileInt, ValuesParseLikeTheProfileFunctions)
{
    EXPECT_EQ(ProfileInt(kIni, "reader", "paritybit", 0), 0x4Fu);
    EXPECT_EQ(ProfileInt(kIni, "reader", "databit", 8), 0u) << "no digits reads as 0, not the default";
    EXPECT_EQ(ProfileInt(kIni, "reader", "stopbit", 1), 0xFFFFFFFFu);
    EXPECT_EQ(ProfileInt(kIni, "reader", "empty", 9), 0u);
    EXPECT_EQ(ProfileInt("[reader]\nport=12abc\n", "reader", "port", 1), 12u);
}

TEST(LineSettings, DefaultsAreNineSixHundredEightNoneOne)
{
    const auto line = ToLineSettings(ReaderSettings{});
    EXPECT_EQ(line.port, 1u);
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.dataBits, 8u);
    EXPECT_FALSE(line.oddParity);
    EXPECT_FALSE(line.twoStopBits);
}

TEST(LineSettings, ParityAndStopBitsUseTheLowByte)
{
    ReaderSettings s;
    for (unsigned odd : {79u, 111u, 0x100u + 79u}) {
        s.paritybit = odd;
        EXPECT_TRUE(ToLineSettings(s).oddParity) << odd;
    }
    for (unsigned none : {0u, 69u, 101u, 1u, 80u}) {
        s.paritybit = none;
        EXPECT_FALSE(ToLineSettings(s).oddParity) << none;
    }
    s.stopbit = 2;
    EXPECT_TRUE(ToLineSettings(s).twoStopBits);
    s.stopbit = 0x302;
    EXPECT_TRUE(ToLineSettings(s).twoStopBits);
    s.stopbit = 3;
    EXPECT_FALSE(ToLineSettings(s).twoStopBits);
    s.databit = 0x107;
    EXPECT_EQ(ToLineSettings(s).dataBits, 7u);
    s.baud = 0x12345;
    EXPECT_EQ(ToLineSettings(s).baud, 0x12345u) << "the speed is taken whole";
}

TEST(LineSettings, PortNumberLowByteMustBeOneToSix)
{
    EXPECT_FALSE(sampora::IsValidPortNumber(0));
    EXPECT_TRUE(sampora::IsValidPortNumber(1));
    EXPECT_TRUE(sampora::IsValidPortNumber(6));
    EXPECT_FALSE(sampora::IsValidPortNumber(7));
    EXPECT_TRUE(sampora::IsValidPortNumber(0x102));
    EXPECT_FALSE(sampora::IsValidPortNumber(0x100));
}

} // namespace
