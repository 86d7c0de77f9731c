// Building command frames and judging replies of the maker's serial reader.
#include "kelvara/readers/protocol/ReaderFrame.h"

#include <algorithm>
#include <cstring>

namespace kelvara {

CheckBytes ComputeCheckBytes(std::span<const std::uint8_t> bytes)
{
    CheckBytes c;
    for (std::uint8_t b : bytes) {
        c.sum = std::uint8_t(c.sum + b);
        c.xorValue = std::uint8_t(c.xorValue ^ b);
    }
    return c;
}

CommandFrame BuildCommand(std::string_view mnemonic, std::span<const std::uint8_t> parameters)
{
    CommandFrame f{};
    for (std::size_t k = 0; k < 4; ++k) {
        f[k] = k < mnemonic.size() ? std::uint8_t(mnemonic[k]) : 0;
    }
    const std::size_t used = std::min<std::size_t>(parameters.size(), 6);
    for (std::size_t k = 4; k < 10; ++k) {
        f[k] = k - 4 < used ? parameters[k - 4] : std::uint8_t(0x55 + k);
    }
    const CheckBytes c = ComputeCheckBytes(std::span(f.data(), 10));
    f[10] = c.sum;
    f[11] = c.xorValue;
    return f;
}

namespace {

// Page, offset and length as three little-endian 16-bit parameters.
CommandFrame PageCommand(std::string_view mnemonic, int page, int offset, int length)
{
    const std::uint8_t p[6] = {
        std::uint8_t(unsigned(page) & 0xFF),   std::uint8_t((unsigned(page) >> 8) & 0xFF),
        std::uint8_t(unsigned(offset) & 0xFF), std::uint8_t((unsigned(offset) >> 8) & 0xFF),
        std::uint8_t(unsigned(length) & 0xFF), std::uint8_t((unsigned(length) >> 8) & 0xFF),
    };
    return BuildCommand(mnemonic, p);
}

constexpr std::uint8_t kThreeZeros[3] = {0, 0, 0};

} // namespace

CommandFrame StatFrame() { return BuildCommand("STAT", {}); }

CommandFrame BaudRateFrame(std::uint8_t speedIndex)
{
    const std::uint8_t p[1] = {speedIndex};
    return BuildCommand("BDRT", p);
}

CommandFrame ReadFrame(int page, int offset, int length) { return PageCommand("READ", page, offset, length); }
CommandFrame WriteFrame(int page, int offset, int length) { return PageCommand("WRTE", page, offset, length); }
CommandFrame LockFrame() { return BuildCommand("LOCK", kThreeZeros); }
CommandFrame ExitFrame() { return BuildCommand("EXIT", kThreeZeros); }

ReplyAssembler::ReplyAssembler(std::size_t bodyLength)
    : bodyLength_(bodyLength)
{
}

void ReplyAssembler::Commit(std::size_t count)
{
    received_ = std::min(buffer_.size(), received_ + count);
    // Only a 'P' reply carries data: once its status letter is in, the
    // reply is n + 2 bytes long.
    if (received_ >= expected_ && bodyLength_ > 5 && buffer_[4] == 'P') {
        expected_ = bodyLength_ + 2;
    }
}

void ReplyAssembler::Append(std::span<const std::uint8_t> bytes)
{
    const std::size_t count = std::min(bytes.size(), Room());
    if (count > 0) {
        std::memcpy(Tail(), bytes.data(), count);
    }
    Commit(count);
}

int ReplyAssembler::Evaluate(const CommandFrame &sent) const
{
    switch (buffer_[4]) {
    case 'Q':
        return reply::kNoCardQ;
    case 'S':
        return reply::kNoCardS;
    case 'P': {
        const std::size_t n = bodyLength_;
        if (n + 2 > received_) {
            return reply::kFailed;
        }
        const CheckBytes c = ComputeCheckBytes(std::span(buffer_.data(), n));
        const bool checksOk = buffer_[n] == c.sum && buffer_[n + 1] == c.xorValue;
        const bool echoOk = std::equal(sent.begin(), sent.begin() + 4, buffer_.begin());
        return checksOk && echoOk ? reply::kDone : reply::kFailed;
    }
    default:
        return reply::kFailed;
    }
}

bool ReplyAssembler::IsWellFormed(const CommandFrame &sent) const
{
    const std::uint8_t letter = buffer_[4];
    if (received_ != expected_ || letter < 'P' || letter > 'S') {
        return false;
    }
    const std::size_t n = expected_ - 2;
    const CheckBytes c = ComputeCheckBytes(std::span(buffer_.data(), n));
    return buffer_[n] == c.sum && buffer_[n + 1] == c.xorValue &&
        std::equal(sent.begin(), sent.begin() + 4, buffer_.begin());
}

std::span<const std::uint8_t> ReplyAssembler::Data() const
{
    if (bodyLength_ <= 5 || received_ < bodyLength_) {
        return {};
    }
    return std::span(buffer_.data() + 5, bodyLength_ - 5);
}

} // namespace kelvara
