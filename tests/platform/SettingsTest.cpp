// The settings file on Linux: where it lives, how values are found and
// kept, and that a change replaces the file whole.
#include "kelvara/services/Settings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace kelvara {
namespace {

namespace fs = std::filesystem;

using testing::ScopedEnv;

class SettingsTest : public ::testing::Test {
protected:
    std::string Read(const fs::path &path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Write(const fs::path &path, const std::string &text) { std::ofstream(path) << text; }

    testing::ScratchDirectory scratch{"kelvara-settings"};
    const fs::path dir = scratch.path();
};

TEST_F(SettingsTest, FileFollowsTheEnvironmentRule)
{
    ScopedEnv noFile("KELVARA_SETTINGS", std::nullopt);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", (dir / "xdg").string());
        EXPECT_EQ(SettingsLocation(), (dir / "xdg/WQN_Ltd./Kelvara/settings.ini").string());
        ASSERT_TRUE(WriteSettingInt("PortMode", 1));
        EXPECT_EQ(Read(dir / "xdg/WQN_Ltd./Kelvara/settings.ini"), "[Settings]\nPortMode=1\n");
    }
    ScopedEnv noXdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", (dir / "home").string());
    EXPECT_EQ(SettingsLocation(), (dir / "home/.config/WQN_Ltd./Kelvara/settings.ini").string());
    ScopedEnv file("KELVARA_SETTINGS", (dir / "mine.ini").string());
    EXPECT_EQ(SettingsLocation(), (dir / "mine.ini").string());
}

TEST_F(SettingsTest, MissingValuesGiveTheCallersDefault)
{
    ScopedEnv file("KELVARA_SETTINGS", (dir / "absent.ini").string());
    EXPECT_EQ(ReadSettingInt("BaudRateIndex", 6), 6);
    EXPECT_EQ(ReadSettingText("ComPortName", "com1"), "com1");
    EXPECT_FALSE(fs::exists(dir / "absent.ini")); // reading creates nothing
}

TEST_F(SettingsTest, ValuesAreFoundOnlyInTheSettingsSection)
{
    const fs::path path = dir / "s.ini";
    ScopedEnv file("KELVARA_SETTINGS", path.string());
    Write(path,
          "[Other]\nPortMode=9\n"
          "[settings]\r\n portmode = 3\r\nComPortName=com2 \r\nBaudRateMax=abc\nWaitMS=-5\nEmpty=\n");
    EXPECT_EQ(ReadSettingInt("PortMode", 0), 3);
    EXPECT_EQ(ReadSettingText("ComPortName", ""), "com2 "); // strings raw
    EXPECT_EQ(ReadSettingInt("BaudRateMax", 6), 6); // not a number
    EXPECT_EQ(ReadSettingInt("WaitMS", 0), -5);
    EXPECT_EQ(ReadSettingText("Empty", "x"), "");
    EXPECT_EQ(ReadSettingInt("Empty", 4), 4);
}

TEST_F(SettingsTest, WritesReplaceOrAddAndKeepEverythingElse)
{
    const fs::path path = dir / "s.ini";
    ScopedEnv file("KELVARA_SETTINGS", path.string());
    Write(path, "; mine\n[Settings]\nPortMode=3\nComPortName=com1\n\n[Other]\nKeep=yes\n");
    ASSERT_TRUE(WriteSettingInt("PortMode", -1));
    ASSERT_TRUE(WriteSettingText("ComPortName", "com2"));
    ASSERT_TRUE(WriteSettingInt("BaudRateIndex", 5));
    EXPECT_EQ(Read(path), "; mine\n[Settings]\nPortMode=-1\nComPortName=com2\nBaudRateIndex=5\n\n[Other]\nKeep=yes\n");
    EXPECT_EQ(ReadSettingInt("PortMode", 0), -1);
    EXPECT_EQ(ReadSettingInt("BaudRateIndex", 0), 5);
    // The file was replaced, not left beside a temporary.
    int files = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(dir)) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(SettingsTest, SectionIsAddedWhenTheFileHasOnlyOthers)
{
    const fs::path path = dir / "s.ini";
    ScopedEnv file("KELVARA_SETTINGS", path.string());
    Write(path, "[Other]\nA=1\n");
    ASSERT_TRUE(WriteSettingText("ComPortName", "com3"));
    EXPECT_EQ(Read(path), "[Other]\nA=1\n[Settings]\nComPortName=com3\n");
    EXPECT_EQ(ReadSettingText("ComPortName", ""), "com3");
}

TEST_F(SettingsTest, NamesAndValuesThatWouldNotReadBackAreRefused)
{
    const fs::path path = dir / "s.ini";
    ScopedEnv file("KELVARA_SETTINGS", path.string());
    const std::string before = "[Settings]\nPortMode=1\n";
    Write(path, before);
    // A line break would slip another setting into the file.
    EXPECT_FALSE(WriteSettingText("ComPortName", "com1\nPortMode=3"));
    EXPECT_FALSE(WriteSettingText("ComPortName", "com1\r"));
    for (const char *name : {"", " PortMode", "Port=Mode", "Port\nMode", ";PortMode", "#PortMode", "[PortMode"})
        EXPECT_FALSE(WriteSettingInt(name, 3)) << name;
    EXPECT_EQ(Read(path), before);
    EXPECT_EQ(ReadSettingInt("PortMode", 0), 1);
    // Whatever else a value holds is kept as it is.
    ASSERT_TRUE(WriteSettingText("ComPortName", " com 2 = ]; #"));
    EXPECT_EQ(ReadSettingText("ComPortName", ""), " com 2 = ]; #");
}

TEST_F(SettingsTest, UnwritableLocationFailsQuietly)
{
    ScopedEnv file("KELVARA_SETTINGS", "/proc/kelvara-cannot-be-here/settings.ini");
    EXPECT_FALSE(WriteSettingInt("PortMode", 1));
    EXPECT_EQ(ReadSettingInt("PortMode", 7), 7);
}

} // namespace
} // namespace kelvara
