// The card in a reader, and the card image.
#include "tools/kelvara/CardAccess.h"

#include "kelvara.h"
#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/card/CardLayout.h"
#include "kelvara/services/Progress.h"
#include "kelvara/storage/CardFileSystem.h"
#include "sim/card/FlashCard.h"
#include "tools/kelvara/Terminal.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>

namespace kelvara::tool {
namespace {

// Raw pages through TS_ReadBlock and TS_WriteBlock (no checksum handling:
// the pages go as they are).
class LibraryPages final : public PageDevice {
public:
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        return TS_ReadBlock(page, offset, length, buffer, 0) == 0;
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        // The export takes a mutable buffer (it may seal a checksum into it).
        std::array<std::uint8_t, kelvara::card::kPageSize> copy{};
        if (length < 0 || length > static_cast<int>(copy.size()) || (length > 0 && buffer == nullptr))
            return false;
        if (length > 0)
            std::memcpy(copy.data(), buffer, static_cast<std::size_t>(length));
        return TS_WriteBlock(page, offset, length, copy.data(), 0) == 0;
    }
};

class LibraryCard final : public CardAccess {
public:
    ~LibraryCard() override { TS_ReleaseKelvara(); }

    bool Open(std::string &why, bool) override
    {
        if (!Connected()) {
            why = "no reader with a card ready";
            return false;
        }
        return true;
    }
    PageDevice &Pages() override { return pages_; }
    bool IsImage() const override { return false; }

    int Check() override
    {
        connected_ = TS_CheckKelvara() == 0;
        return connected_ ? 0 : -1;
    }
    int Format() override { return TS_Format(); }
    int IsFormat() override { return TS_IsFormat(); }
    int Put(const std::string &cardDirectory, const std::string &localFiles) override
    {
        return TS_WriteIcFiles(cardDirectory.c_str(), localFiles.c_str());
    }
    int Get(const std::string &localDirectory, const std::string &cardPattern, std::string &names) override
    {
        names.clear();
        if (!Connected()) // reading never connects by itself
            return -1;
        // The library writes every name it copied; a card holds at most 2031 files.
        std::string buffer(2031 * 300, '\0');
        const int r = TS_ReadIcFiles(localDirectory.c_str(), cardPattern.c_str(), buffer.data());
        names = buffer.c_str();
        return r;
    }
    int Remove(const std::string &cardPattern) override { return TS_DelIcFiles(cardPattern.c_str()); }
    int List(const std::string &outputPath) override { return TS_DirIcFiles(outputPath.c_str()); }
    int FileTime(const std::string &name, std::string &time) override
    {
        char text[64] = "";
        const int r = TS_FileTime(name.c_str(), text);
        time = text;
        return r;
    }
    int Test() override { return TS_Test(); }
    int BitTable(const std::string &outputPath) override { return TS_GetBitTable(outputPath.c_str()); }

private:
    bool Connected()
    {
        if (!connected_)
            connected_ = TS_CheckKelvara() == 0;
        return connected_;
    }

    bool connected_ = false;
    LibraryPages pages_;
};

class ImageCard final : public CardAccess {
public:
    explicit ImageCard(std::string path)
        : path_(std::move(path))
    {
        fs_.SetMessageBox(&box_);
    }

    bool Open(std::string &why, bool create) override
    {
        if (card_)
            return true;
        std::error_code ec;
        if (!create && !std::filesystem::exists(path_, ec)) {
            why = "card image " + path_ + " does not exist";
            return false;
        }
        try {
            card_ = std::make_unique<wqn::sim::FlashCard>(path_);
        } catch (const std::exception &e) {
            why = e.what();
            return false;
        }
        fs_.BindReader(card_.get());
        return true;
    }
    PageDevice &Pages() override { return *card_; }
    bool IsImage() const override { return true; }

    int Check() override { return Ready() ? 0 : -1; }
    int Format() override { return Ready(true) ? fs_calls::Format(fs_) : -1; }
    int IsFormat() override { return Ready() ? fs_calls::IsFormat(fs_) : -1; }
    int Put(const std::string &cardDirectory, const std::string &localFiles) override
    {
        ProgressScope progress; // as the library's export frame does
        return Ready() ? fs_calls::WriteIcFiles(fs_, cardDirectory, localFiles) : -1;
    }
    int Get(const std::string &localDirectory, const std::string &cardPattern, std::string &names) override
    {
        names.clear();
        ProgressScope progress;
        return Ready() ? fs_calls::ReadIcFiles(fs_, localDirectory, cardPattern, names) : -1;
    }
    int Remove(const std::string &cardPattern) override
    {
        return Ready() ? fs_calls::DelIcFiles(fs_, cardPattern) : -1;
    }
    int List(const std::string &outputPath) override { return Ready() ? fs_calls::DirIcFiles(fs_, outputPath) : -1; }
    int FileTime(const std::string &name, std::string &time) override
    {
        time.clear();
        return Ready() ? fs_calls::FileTime(fs_, name, time) : -1;
    }
    int Test() override { return Ready() ? fs_calls::Test(fs_, box_) : -1; }
    int BitTable(const std::string &outputPath) override
    {
        return Ready() ? fs_calls::GetBitTable(fs_, outputPath) : 0;
    }

private:
    bool Ready(bool create = false)
    {
        std::string why;
        if (Open(why, create))
            return true;
        std::fprintf(stderr, "kelvara: %s\n", why.c_str());
        return false;
    }

    std::string path_;
    std::unique_ptr<wqn::sim::FlashCard> card_;
    CardFileSystem fs_;
    TerminalMessageBox box_;
};

} // namespace

std::unique_ptr<CardAccess> MakeLibraryCard() { return std::make_unique<LibraryCard>(); }
std::unique_ptr<CardAccess> MakeImageCard(const std::string &imagePath)
{
    return std::make_unique<ImageCard>(imagePath);
}

} // namespace kelvara::tool
