// Support for the settings tests: a scratch directory holding the
// settings file the library uses for the test's lifetime.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace kelvara::ui_test {

inline std::string ReadText(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFileTest()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvara-host-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        settings = dir / "settings.ini";
        if (const char *old = std::getenv("KELVARA_SETTINGS"))
            saved_ = old;
        ::setenv("KELVARA_SETTINGS", settings.c_str(), 1);
    }
    ~SettingsFileTest() override
    {
        if (saved_)
            ::setenv("KELVARA_SETTINGS", saved_->c_str(), 1);
        else
            ::unsetenv("KELVARA_SETTINGS");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string SettingsText() const { return ReadText(settings); }
    void WriteSettings(const std::string &text) const { std::ofstream(settings, std::ios::binary) << text; }

    std::filesystem::path dir;
    std::filesystem::path settings;

private:
    std::optional<std::string> saved_;
};

} // namespace kelvara::ui_test
