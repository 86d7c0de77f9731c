// The simulated flash card and its faults.
#include "sim/card/FlashCard.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <numeric>
#include <stdexcept>

namespace wqn::sim {

FlashCard::FlashCard()
    : image_(kImageSize, 0xFF)
{
}

FlashCard::FlashCard(const std::string &imagePath)
    : image_(kImageSize, 0xFF),
      path_(imagePath)
{
    std::ifstream in(imagePath, std::ios::binary);
    if (in) {
        in.seekg(0, std::ios::end);
        if (static_cast<std::size_t>(in.tellg()) != kImageSize)
            throw std::runtime_error("card image " + imagePath + " is not " + std::to_string(kImageSize) + " bytes");
        in.seekg(0);
        in.read(reinterpret_cast<char *>(image_.data()), static_cast<std::streamsize>(kImageSize));
        if (!in)
            throw std::runtime_error("cannot read card image " + imagePath);
    } else if (!SaveImage(imagePath)) {
        throw std::runtime_error("cannot create card image " + imagePath);
    }
}

bool FlashCard::InRange(int page, int offset, int length)
{
    return page >= 0 && page < kPageCount && offset >= 0 && length >= 0 && offset + length <= kPageSize;
}

bool FlashCard::TakeFault(std::map<int, Repeat> &faults, int page)
{
    const auto it = faults.find(page);
    if (it == faults.end())
        return false;
    if (it->second == Repeat::Once)
        faults.erase(it);
    return true;
}

bool FlashCard::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
{
    if (!InRange(page, offset, length) || (length > 0 && buffer == nullptr))
        return false;
    ++reads_[static_cast<std::size_t>(page)];
    if (TakeFault(readFaults_, page))
        return false;
    std::memcpy(buffer, image_.data() + Offset(page) + static_cast<std::size_t>(offset),
                static_cast<std::size_t>(length));
    return true;
}

bool FlashCard::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    if (!InRange(page, offset, length) || (length > 0 && buffer == nullptr))
        return false;
    ++writes_[static_cast<std::size_t>(page)];
    writeLog_.push_back(page);
    if (powerCut_)
        return false;
    // A write refused by an injected fault never reached the flash, so it
    // does not bring the power cut nearer.
    if (TakeFault(writeFaults_, page))
        return false;
    if (writesUntilCut_) {
        if (*writesUntilCut_ == 0) {
            powerCut_ = true;
            writesUntilCut_.reset();
            if (tornBytes_) {
                const int landed = std::clamp(*tornBytes_, 0, length);
                std::memcpy(image_.data() + Offset(page) + static_cast<std::size_t>(offset), buffer,
                            static_cast<std::size_t>(landed));
                Persist(page);
            }
            return false;
        }
        --*writesUntilCut_;
    }
    std::memcpy(image_.data() + Offset(page) + static_cast<std::size_t>(offset), buffer,
                static_cast<std::size_t>(length));
    // A card kept in a file has the page only once the file has it.
    return Persist(page);
}

bool FlashCard::Persist(int page)
{
    if (path_.empty())
        return true;
    std::fstream out(path_, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(Offset(page)));
    out.write(reinterpret_cast<const char *>(image_.data() + Offset(page)), kPageSize);
    out.flush();
    return static_cast<bool>(out);
}

void FlashCard::SetImage(const std::vector<std::uint8_t> &image)
{
    if (image.size() != kImageSize)
        throw std::invalid_argument("card image of the wrong size");
    image_ = image;
    if (!path_.empty())
        SaveImage(path_);
}

void FlashCard::SetPage(int page, const std::uint8_t *bytes)
{
    std::memcpy(image_.data() + Offset(page), bytes, kPageSize);
    Persist(page);
}

void FlashCard::Erase()
{
    std::fill(image_.begin(), image_.end(), 0xFF);
    if (!path_.empty())
        SaveImage(path_);
}

bool FlashCard::SaveImage(const std::string &path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image_.data()), static_cast<std::streamsize>(image_.size()));
    return static_cast<bool>(out);
}

void FlashCard::FailReads(int page, Repeat repeat) { readFaults_[page] = repeat; }
void FlashCard::FailWrites(int page, Repeat repeat) { writeFaults_[page] = repeat; }

void FlashCard::CorruptPage(int page, int offset)
{
    image_[Offset(page) + static_cast<std::size_t>(offset)] ^= 0xFF;
    Persist(page);
}

void FlashCard::CutPowerAfter(int writes, std::optional<int> tornBytes)
{
    writesUntilCut_ = std::max(0, writes);
    tornBytes_ = tornBytes;
    powerCut_ = false;
}

void FlashCard::RestorePower()
{
    powerCut_ = false;
    writesUntilCut_.reset();
    tornBytes_.reset();
}

void FlashCard::ClearFaults()
{
    readFaults_.clear();
    writeFaults_.clear();
    RestorePower();
}

long long FlashCard::TotalWrites() const { return std::accumulate(writes_.begin(), writes_.end(), 0LL); }
long long FlashCard::TotalReads() const { return std::accumulate(reads_.begin(), reads_.end(), 0LL); }

void FlashCard::ResetCounters()
{
    reads_.fill(0);
    writes_.fill(0);
    writeLog_.clear();
}

} // namespace wqn::sim
