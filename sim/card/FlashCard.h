// A simulated flash card of 2048 pages x 264 bytes, in memory or backed by a
// plain image file (page 0 first, 540,672 bytes). Every reader simulator keeps
// its card in one of these, and tests use it directly as a page device.
//
// Fault injection, for proving that the file system survives bad hardware:
// failing reads or writes of chosen pages (once or always), a corrupted page,
// a power cut after N more page writes (every later write fails, what was
// written before stays), and a torn write (only the first K bytes land).
#pragma once

#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageDevice.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace wqn::sim {

class FlashCard final : public kelvara::PageDevice {
public:
    static constexpr int kPageSize = kelvara::card::kPageSize;
    static constexpr int kPageCount = kelvara::card::kPageCount;
    static constexpr std::size_t kImageSize = static_cast<std::size_t>(kPageSize) * kPageCount;

    enum class Repeat { Once, Always };

    // A blank card (every byte 0xFF, as erased flash reads).
    FlashCard();
    // A card kept in `imagePath`: loaded when the file exists (it must be
    // exactly kImageSize bytes), created blank otherwise; every page write
    // goes through to the file at once. Throws std::runtime_error when the
    // file cannot be used.
    explicit FlashCard(const std::string &imagePath);

    // kelvara::PageDevice: bounds-checked partial page transfers.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // --- the image -------------------------------------------------------
    const std::vector<std::uint8_t> &Image() const { return image_; }
    void SetImage(const std::vector<std::uint8_t> &image); // must be kImageSize bytes
    const std::uint8_t *Page(int page) const { return image_.data() + Offset(page); }
    void SetPage(int page, const std::uint8_t *bytes); // no fault, no count
    void Erase(); // every byte 0xFF
    bool SaveImage(const std::string &path) const;

    // --- fault injection --------------------------------------------------
    void FailReads(int page, Repeat repeat);
    void FailWrites(int page, Repeat repeat);
    void CorruptPage(int page, int offset = 0); // flips the bits of one byte
    // After `writes` more successful page writes the power goes: that write
    // and every later one fail. With `tornBytes`, the first failing write
    // still lands its first tornBytes bytes (a torn write).
    void CutPowerAfter(int writes, std::optional<int> tornBytes = std::nullopt);
    void RestorePower();
    bool PowerCut() const { return powerCut_; }
    void ClearFaults();

    // --- counters -----------------------------------------------------------
    int Reads(int page) const { return reads_[static_cast<std::size_t>(page)]; }
    int Writes(int page) const { return writes_[static_cast<std::size_t>(page)]; }
    long long TotalWrites() const;
    long long TotalReads() const;
    // Every page write attempted since the last reset, in order.
    const std::vector<int> &WriteLog() const { return writeLog_; }
    void ResetCounters();

private:
    static std::size_t Offset(int page) { return static_cast<std::size_t>(page) * kPageSize; }
    static bool InRange(int page, int offset, int length);
    bool TakeFault(std::map<int, Repeat> &faults, int page);
    bool Persist(int page); // false when the image file did not take the page

    std::vector<std::uint8_t> image_;
    std::string path_;
    std::map<int, Repeat> readFaults_;
    std::map<int, Repeat> writeFaults_;
    std::optional<int> writesUntilCut_;
    std::optional<int> tornBytes_;
    bool powerCut_ = false;
    std::array<int, kPageCount> reads_{};
    std::array<int, kPageCount> writes_{};
    std::vector<int> writeLog_;
};

} // namespace wqn::sim
