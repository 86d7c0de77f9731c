// A card file system on a simulated card, with a scripted message box, a fixed
// clock and a scratch directory for local files.
#pragma once

#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/card/PageCrc.h"
#include "kelvara/storage/CardFileSystem.h"
#include "sim/card/FlashCard.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/ScriptedMessageBox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <vector>

namespace kelvara::testing {

// The card file system with its internal steps open to the tests, so each
// page layout and allocation rule is checked on its own.
class OpenCardFileSystem final : public CardFileSystem {
public:
    using CardFileSystem::AllocPage;
    using CardFileSystem::AskCardError;
    using CardFileSystem::FreePage;
    using CardFileSystem::PackBitmap;
    using CardFileSystem::ReadIndexPage;
    using CardFileSystem::WriteBitTablePage;
    using CardFileSystem::WriteDataPage;
    using CardFileSystem::WriteIndexPage;
};

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

// Writes raw index text as a chain starting at `firstPage`, and a bit table naming it.
// Byte 0 of the planted bitmap says pages 1-7 are in use unless told otherwise.
inline void PlantIndex(wqn::sim::FlashCard &card, const std::string &text, std::vector<int> chain,
                       std::uint8_t firstBitmapByte = 0x01)
{
    PageCrc crc;
    for (std::size_t k = 0; k < chain.size(); ++k) {
        std::vector<std::uint8_t> page(264, 0);
        const std::size_t offset = k * 256;
        const std::size_t n = offset < text.size() ? std::min<std::size_t>(256, text.size() - offset) : 0;
        std::copy_n(text.begin() + static_cast<long>(offset), n, page.begin());
        card::Put16(page.data() + 256, static_cast<std::uint16_t>(n));
        card::Put16(page.data() + 258, static_cast<std::uint16_t>(k + 1 < chain.size() ? chain[k + 1] : 0));
        card::Put32(page.data() + 260, crc.ComputeCrc(page.data(), 260));
        card.SetPage(chain[k], page.data());
    }
    std::vector<std::uint8_t> table(264, 0);
    std::fill_n(table.begin(), 254, 0xFF);
    table[0] = firstBitmapByte;
    card::Put16(table.data() + 256, static_cast<std::uint16_t>(chain.empty() ? 0 : chain[0]));
    card::Put16(table.data() + 258, 0xABCD);
    card::Put32(table.data() + 260, crc.ComputeCrc(table.data(), 260));
    card.SetPage(0, table.data());
    card.SetPage(2047, table.data());
}

inline std::string Record(const std::string &name, const std::string &pages, const std::string &time = "20240102030405")
{
    const std::size_t length = 2 + name.size() + 1 + time.size() + pages.size();
    std::string r;
    r.push_back(static_cast<char>(length / 16));
    r.push_back(static_cast<char>((length % 16) * 16));
    return r + name + "*" + time + pages;
}

// Save, then load, gives the same directory: a copy of `card` that loads is
// saved again and loaded once more, and must show the entries it had (a save
// that cannot find pages for its chain leaves the copy as it was). Every page
// a file or the chain names must then count as in use.
inline void ExpectSaveLoadKeepsDirectory(const wqn::sim::FlashCard &card, const std::string &context = {})
{
    wqn::sim::FlashCard copy;
    copy.SetImage(card.Image());
    ScriptedMessageBox box; // every prompt is cancelled
    CardFileSystem first;
    first.BindReader(&copy);
    first.SetMessageBox(&box);
    if (!first.LoadIndex() || !first.IsFormatted())
        return;
    const std::list<FileEntry> loaded = first.FileEntries();
    const std::vector<std::uint8_t> loadedImage = copy.Image(); // the load may repair pages from backups
    if (!first.SaveIndex()) {
        EXPECT_EQ(copy.Image(), loadedImage) << context << ": a failed save wrote to the card";
    }
    CardFileSystem second;
    second.BindReader(&copy);
    second.SetMessageBox(&box);
    ASSERT_TRUE(second.LoadIndex()) << context << ": the saved index does not load";
    EXPECT_TRUE(second.FileEntries() == loaded) << context << ": the saved index loads as another directory";
    for (std::uint16_t page : second.StoredChainPages())
        EXPECT_FALSE(second.PageIsFree(page)) << context << ": index page " << page << " counts as free";
    for (const FileEntry &entry : second.FileEntries()) {
        for (std::uint16_t page : CardFileSystem::UnpackPages(entry.pages)) {
            EXPECT_FALSE(second.PageIsFree(page))
                << context << ": page " << page << " of " << entry.name << " counts as free";
        }
    }
}

class CardTest : public ::testing::Test {
protected:
    CardTest()
    {
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        fs.SetTimeSource([this] { return now; });
    }

    // Whatever a test did, the card it leaves must keep its directory through
    // a save and a load.
    void TearDown() override { ExpectSaveLoadKeepsDirectory(card, "card left by the test"); }

    // Writes `content` to a local file `name` and copies it onto the card.
    int Put(const std::string &cardDirectory, const std::string &name, const std::string &content)
    {
        WriteLocal(local.path() / name, content);
        return fs_calls::WriteIcFiles(fs, cardDirectory, (local.path() / name).string());
    }

    // Reads card files into a fresh local directory; the read names go to `names`.
    int Get(const std::string &pattern, std::string &names)
    {
        return fs_calls::ReadIcFiles(fs, out.WithSlash(), pattern, names);
    }

    std::vector<std::uint8_t> PageBytes(int page) const
    {
        return std::vector<std::uint8_t>(card.Page(page), card.Page(page) + card::kPageSize);
    }

    wqn::sim::FlashCard card;
    OpenCardFileSystem fs;
    ScriptedMessageBox box;
    ScratchDirectory local; // files to copy onto the card
    ScratchDirectory out; // files copied back
    std::string now = "20240102030405";
};

} // namespace kelvara::testing
