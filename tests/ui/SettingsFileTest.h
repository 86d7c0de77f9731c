// Support for the settings tests: a scratch directory holding the
// settings file the library uses for the test's lifetime.
#pragma once

#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kelvara::ui_test {

inline std::string ReadText(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SettingsFileTest : public ::testing::Test {
protected:
    std::string SettingsText() const { return ReadText(settings); }
    void WriteSettings(const std::string &text) const { std::ofstream(settings, std::ios::binary) << text; }

    // In this order: the directory, the file in it, the variable naming it.
    testing::ScratchDirectory scratch{"kelvara-host"};
    const std::filesystem::path dir = scratch.path();
    const std::filesystem::path settings = dir / "settings.ini";
    testing::ScopedEnv settingsFile{"KELVARA_SETTINGS", settings.string()};
};

} // namespace kelvara::ui_test
