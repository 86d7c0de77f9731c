// A card file system on a simulated card, with a scripted message box, a fixed
// clock and a scratch directory for local files.
#pragma once

#include "kelvara/storage/CardFileSystem.h"
#include "kelvara/storage/FileSystemExports.h"
#include "sim/card/FlashCard.h"
#include "tests/support/ScriptedMessageBox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kelvara::testing {

inline std::string ReadLocal(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteLocal(const std::filesystem::path &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string Pattern(std::size_t size, unsigned seed = 1)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 31 + seed * 17 + (i >> 8)) & 0xFF);
    return s;
}

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "kelvara-test-XXXXXX").string();
        path_ = ::mkdtemp(templ.data());
    }
    ~ScratchDirectory()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }
    // The directory as the card file system wants it: with a final separator.
    std::string WithSlash() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

class CardTest : public ::testing::Test {
protected:
    CardTest()
    {
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        fs.SetTimeSource([this] { return now; });
    }

    // Writes `content` to a local file `name` and copies it onto the card.
    int Put(const std::string &cardDirectory, const std::string &name, const std::string &content)
    {
        WriteLocal(local.path() / name, content);
        return storage_exports::WriteIcFiles(fs, cardDirectory, (local.path() / name).string());
    }

    // Reads card files into a fresh local directory; the read names go to `names`.
    int Get(const std::string &pattern, std::string &names)
    {
        return storage_exports::ReadIcFiles(fs, out.WithSlash(), pattern, names);
    }

    std::vector<std::uint8_t> PageBytes(int page) const
    {
        return std::vector<std::uint8_t>(card.Page(page), card.Page(page) + card::kPageSize);
    }

    wqn::sim::FlashCard card;
    CardFileSystem fs;
    ScriptedMessageBox box;
    ScratchDirectory local;  // files to copy onto the card
    ScratchDirectory out;    // files copied back
    std::string now = "20240102030405";
};

} // namespace kelvara::testing
