// The card in a reader, and the card image.
#include "tools/kelvara/CardAccess.h"

#include "kelvara.h"
#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/card/CardLayout.h"
#include "kelvara/readers/protocol/LineSpeeds.h"
#include "kelvara/readers/serial/SerialPort.h"
#include "kelvara/services/Progress.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/Settings.h"
#include "kelvara/storage/CardFileSystem.h"
#include "sim/card/FlashCard.h"
#include "tools/kelvara/Terminal.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

namespace kelvara::tool {
namespace {

constexpr int kUsbMode = 3;
constexpr const char *kReaderNames[] = {"MCS-C reader", "WQN serial reader", "GC481 reader", "USB_V626 reader"};

// "com1 = /dev/ttyS0", with what stands in the way of opening it.
std::string DescribePort(const std::string &port)
{
    const std::string device = SerialDevicePath(port);
    std::string text = port + " = " + device;
    if (::access(device.c_str(), F_OK) != 0)
        text += " (" + std::string(std::strerror(errno)) + ")";
    else if (::access(device.c_str(), R_OK | W_OK) != 0)
        text += " (" + std::string(std::strerror(errno)) + ")";
    return text;
}

// The card's pages for the card file system on an image. While `holding`,
// writes stay in memory: reads see them, the image file does not.
class HeldPages final : public PageDevice {
public:
    explicit HeldPages(PageDevice &card)
        : card_(card)
    {
    }

    void Hold(bool holding)
    {
        holding_ = holding;
        if (!holding)
            held_.clear();
    }
    // The pages written in memory since the last call.
    std::set<int> TakeNewlyHeld() { return std::exchange(newlyHeld_, {}); }

    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        const auto held = held_.find(page);
        if (held == held_.end())
            return card_.ReadBlock(page, offset, length, buffer);
        if (offset < 0 || length < 0 || offset + length > card::kPageSize || (length > 0 && buffer == nullptr))
            return false;
        std::memcpy(buffer, held->second.data() + offset, static_cast<std::size_t>(length));
        return true;
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        if (!holding_)
            return card_.WriteBlock(page, offset, length, buffer);
        if (offset < 0 || length < 0 || offset + length > card::kPageSize || (length > 0 && buffer == nullptr))
            return false;
        auto held = held_.find(page);
        if (held == held_.end()) {
            Page bytes{};
            if (!card_.ReadBlock(page, 0, card::kPageSize, bytes.data()))
                bytes.fill(0xFF);
            held = held_.emplace(page, bytes).first;
        }
        if (length > 0)
            std::memcpy(held->second.data() + offset, buffer, static_cast<std::size_t>(length));
        newlyHeld_.insert(page);
        return true;
    }

private:
    using Page = std::array<std::uint8_t, card::kPageSize>;
    PageDevice &card_;
    bool holding_ = false;
    std::map<int, Page> held_;
    std::set<int> newlyHeld_;
};

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
            why = NoReaderReason();
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
        // Room for the longest list a card's index can produce, so the read
        // never has to be repeated for the names alone.
        std::string buffer(KELVARA_READ_NAMES_MAX, '\0');
        const int r = KelvaraReadIcFilesBounded(localDirectory.c_str(), cardPattern.c_str(), buffer.data(),
                                                int(buffer.size()), nullptr);
        names = buffer.c_str();
        return r;
    }
    int Remove(const std::string &cardPattern) override { return TS_DelIcFiles(cardPattern.c_str()); }
    int Rename(const std::string &from, const std::string &to) override
    {
        return KelvaraRenameIcFile(from.c_str(), to.c_str());
    }
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
        held_ = std::make_unique<HeldPages>(*card_);
        fs_.BindReader(held_.get());
        return true;
    }
    PageDevice &Pages() override { return *card_; }
    bool IsImage() const override { return true; }

    int Check() override { return Ready() ? 0 : -1; }
    int Format() override
    {
        return Ready(true) ? Writing([&] { return fs_calls::Format(fs_); }) : -1;
    }
    int IsFormat() override
    {
        return Ready() ? Reading([&] { return fs_calls::IsFormat(fs_); }) : -1;
    }
    int Put(const std::string &cardDirectory, const std::string &localFiles) override
    {
        ProgressScope progress; // as the library's export frame does
        return Ready() ? Writing([&] { return fs_calls::WriteIcFiles(fs_, cardDirectory, localFiles); }) : -1;
    }
    int Get(const std::string &localDirectory, const std::string &cardPattern, std::string &names) override
    {
        names.clear();
        ProgressScope progress;
        return Ready() ? Reading([&] { return fs_calls::ReadIcFiles(fs_, localDirectory, cardPattern, names); }) : -1;
    }
    int Remove(const std::string &cardPattern) override
    {
        return Ready() ? Writing([&] { return fs_calls::DelIcFiles(fs_, cardPattern); }) : -1;
    }
    int Rename(const std::string &from, const std::string &to) override
    {
        return Ready() ? Writing([&] { return fs_calls::RenameIcFile(fs_, from, to); }) : -1;
    }
    int List(const std::string &outputPath) override
    {
        return Ready() ? Reading([&] { return fs_calls::DirIcFiles(fs_, outputPath); }) : -1;
    }
    int FileTime(const std::string &name, std::string &time) override
    {
        time.clear();
        return Ready() ? Reading([&] { return fs_calls::FileTime(fs_, name, time); }) : -1;
    }
    int Test() override
    {
        return Ready() ? Reading([&] { return fs_calls::Test(fs_, box_); }) : -1;
    }
    int BitTable(const std::string &outputPath) override
    {
        return Ready() ? Reading([&] { return fs_calls::GetBitTable(fs_, outputPath); }) : 0;
    }

private:
    // A reading operation: whatever it would mend stays in memory.
    template <class Operation>
    int Reading(Operation operation)
    {
        held_->Hold(true);
        const int r = operation();
        const std::set<int> pages = held_->TakeNewlyHeld();
        if (!pages.empty()) {
            std::string list;
            for (int page : pages)
                list += (list.empty() ? "" : ", ") + std::to_string(page);
            std::fprintf(stderr,
                         "kelvara: %s: %s %s read from %s backup and mended in memory only; the image is left as "
                         "it is (kelvara fsck --repair mends it)\n",
                         path_.c_str(), pages.size() == 1 ? "page" : "pages", list.c_str(),
                         pages.size() == 1 ? "its" : "their");
        }
        return r;
    }
    // A writing operation writes the image (what reading held is dropped:
    // the operation reads the card afresh).
    template <class Operation>
    int Writing(Operation operation)
    {
        held_->Hold(false);
        return operation();
    }

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
    std::unique_ptr<HeldPages> held_;
    CardFileSystem fs_;
    TerminalMessageBox box_;
};

} // namespace

std::string DescribeReader()
{
    const int given = ReaderModeOverride();
    const int mode =
        given != reader_override::kNone ? given : ReadSettingInt(setting::kPortMode, setting::kPortModeDefault);
    const bool known = mode >= 0 && mode < static_cast<int>(std::size(kReaderNames));
    std::string text =
        std::string(known ? kReaderNames[mode] : "unknown reader") + " (PortMode " + std::to_string(mode) + ")";
    if (mode == kUsbMode)
        return text;
    const std::string givenPort = PortOverride();
    const std::string port =
        !givenPort.empty() ? givenPort : ReadSettingText(setting::kComPortName, setting::kComPortNameDefault);
    const int speed = ReadSettingInt(setting::kBaudRateMax, setting::kBaudRateMaxDefault);
    text += ", port " + DescribePort(port);
    if (speed >= 0 && speed < static_cast<int>(kLineSpeeds.size()))
        text += ", up to " + std::to_string(kLineSpeeds[static_cast<std::size_t>(speed)]) + " bps";
    return text + " (BaudRateMax " + std::to_string(speed) + ")";
}

std::string NoReaderReason()
{
    // The library tries the stored reader first, then every kind in turn; the
    // serial reader the stored port, then com1, com2 and the adapters'.
    if (ReaderOverridden())
        return "no reader with a card ready: tried only the " + DescribeReader() + " (--reader, --port)";
    std::string text = "no reader with a card ready: tried the " + DescribeReader() +
        ", then the USB, serial, GC481 and MCS-C readers; the serial reader also on";
    const std::string stored(ReadSettingText(setting::kComPortName, setting::kComPortNameDefault));
    bool first = true;
    for (const char *port : {"com1", "com2"}) {
        if (stored == port)
            continue;
        text += std::string(first ? " " : " and ") + DescribePort(port);
        first = false;
    }
    return text + " and the USB serial adapters' ports (kelvara readers; kelvara settings; WQN_COMn names the " +
        "device of COMn)";
}

std::unique_ptr<CardAccess> MakeLibraryCard() { return std::make_unique<LibraryCard>(); }
std::unique_ptr<CardAccess> MakeImageCard(const std::string &imagePath)
{
    return std::make_unique<ImageCard>(imagePath);
}

} // namespace kelvara::tool
