// What the vendor adapter tests share: a scratch directory with its own
// settings file, card image and call log; environment changes undone at the
// end of each test; the search texts told; pages carrying their checksum.
#pragma once

#include "kelvara/card/PageCrc.h"
#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/services/DynamicLibrary.h"
#include "kelvara/services/Settings.h"
#include "sim/card/FlashCard.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace kelvara::testing {

// A simulated vendor library of this build: an absolute path as it is, a
// relative one (the Windows build) from the test program's directory.
inline std::string SimLibrary(const std::string &path)
{
    if (std::filesystem::path(path).is_absolute())
        return path;
    std::string native = path;
    for (char &c : native) {
        if (c == '/')
            c = vendor_library::kPathSeparator;
    }
    return DirectoryOf(ExecutableFileName()) + vendor_library::kPathSeparator + native;
}

class VendorFixture : public ::testing::Test {
protected:
    VendorFixture()
    {
        SetEnv("KELVARA_SETTINGS", (dir_ / "settings.ini").string());
        wqn::testing::ClearStoredSettings();
    }

    // Sets a variable for the rest of the test; the value it had before the
    // test comes back at the end.
    void SetEnv(const std::string &name, const std::string &value)
    {
        const auto [it, added] = savedEnv_.try_emplace(name, name, value);
        if (!added)
            it->second.Set(value);
    }

    std::filesystem::path Path(const std::string &name) const { return dir_ / name; }

    // The lines of a call log, optionally only those naming `function`.
    std::vector<std::string> LogLines(const std::string &name, const std::string &function = {}) const
    {
        std::vector<std::string> lines;
        std::ifstream in(Path(name));
        for (std::string line; std::getline(in, line);) {
            if (function.empty() || line.find(" " + function + " ") != std::string::npos ||
                line.find(" " + function + " ->") != std::string::npos)
                lines.push_back(line);
        }
        return lines;
    }
    void ClearLog(const std::string &name) const { std::ofstream(Path(name), std::ios::trunc); }

    // A page of `fill` bytes whose last four bytes hold the checksum.
    static std::vector<std::uint8_t> PageWithChecksum(std::uint8_t fill)
    {
        std::vector<std::uint8_t> page(264, fill);
        for (int i = 0; i < 260; ++i)
            page[std::size_t(i)] = std::uint8_t(fill + i);
        const std::uint32_t crc = PageCrc().ComputeCrc(page.data(), 260);
        for (int i = 0; i < 4; ++i)
            page[std::size_t(260 + i)] = std::uint8_t(crc >> (8 * i));
        return page;
    }

    static std::vector<std::uint8_t> CardPage(const std::filesystem::path &image, int page)
    {
        wqn::sim::FlashCard card(image.string());
        return std::vector<std::uint8_t>(card.Page(page), card.Page(page) + 264);
    }

    // The texts an adapter's search tells the user, once `reader` is watched.
    void Watch(ReaderBackEnd &reader) { reader.SetSearchNotice(&search_); }
    std::vector<std::string> notices;

private:
    struct SearchTexts final : SearchNotice {
        explicit SearchTexts(std::vector<std::string> &texts)
            : texts_(texts)
        {
        }
        void Tell(std::string_view text) override { texts_.emplace_back(text); }
        std::vector<std::string> &texts_;
    };
    SearchTexts search_{notices};

    ScratchDirectory scratch_{"kelvara-vendor"};
    const std::filesystem::path dir_ = scratch_.path();
    std::map<std::string, ScopedEnv> savedEnv_;
};

} // namespace kelvara::testing
