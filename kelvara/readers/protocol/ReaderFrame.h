// The frames of the maker's serial reader, pure and without I/O: the 12-byte
// command frame the host sends and the reply the reader sends back (echoed
// mnemonic, status letter, data, sum byte, exclusive-or byte).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelvara {

inline constexpr std::size_t kCommandFrameSize = 12;
inline constexpr std::size_t kReplyBufferSize = 1024;
// A reply without data: mnemonic, status letter, two check bytes.
inline constexpr std::size_t kShortReplySize = 7;
// The largest READ whose reply fits the reply buffer (5 + length + 2).
inline constexpr int kMaxReadLength = int(kReplyBufferSize) - 7;

using CommandFrame = std::array<std::uint8_t, kCommandFrameSize>;

// Status codes of a reply, as the reader's commands read them.
namespace reply {
inline constexpr int kDone = 0; // 'P'; to STAT: card ready
inline constexpr int kNoCardQ = 1; // 'Q'; to STAT: reader present, no card
inline constexpr int kNoCardS = 2; // 'S'; to STAT: reader present, no card
inline constexpr int kFailed = -1; // 'R', another letter, bad 'P', read error
inline constexpr int kSilence = -2; // no byte for more than 200 ms
} // namespace reply

// Sum modulo 256 and exclusive-or of a run of bytes: the reader's check bytes.
struct CheckBytes {
    std::uint8_t sum = 0;
    std::uint8_t xorValue = 0;
};
CheckBytes ComputeCheckBytes(std::span<const std::uint8_t> bytes);

// A frame with `mnemonic` (four letters) and up to six parameter bytes; the
// unused parameter positions k hold 0x55 + k.
CommandFrame BuildCommand(std::string_view mnemonic, std::span<const std::uint8_t> parameters);

CommandFrame StatFrame();
CommandFrame BaudRateFrame(std::uint8_t speedIndex);
CommandFrame ReadFrame(int page, int offset, int length);
CommandFrame WriteFrame(int page, int offset, int length);
CommandFrame LockFrame();
CommandFrame ExitFrame();

// Collects the bytes of one reply and decides when it is whole. `bodyLength`
// is n, the length the host expects before the check bytes (5, or 5 + data
// length for READ); a reply whose status is not 'P' is always 7 bytes.
class ReplyAssembler {
public:
    explicit ReplyAssembler(std::size_t bodyLength);

    // Where the next bytes go and how many still fit the 1024-byte buffer.
    std::uint8_t *Tail() { return buffer_.data() + received_; }
    std::size_t Room() const { return buffer_.size() - received_; }
    // Accounts for `count` bytes just stored at Tail().
    void Commit(std::size_t count);
    // Appends bytes (clipped to the room left); for tests and simple callers.
    void Append(std::span<const std::uint8_t> bytes);

    bool Complete() const { return received_ >= expected_; }
    // The length of a whole 'P' reply, n + 2: the most a reply can be.
    std::size_t FullLength() const { return bodyLength_ + 2; }
    std::size_t Received() const { return received_; }
    // The bytes received so far.
    std::span<const std::uint8_t> Bytes() const { return {buffer_.data(), received_}; }
    std::size_t Expected() const { return expected_; }

    // The status code of a complete reply to `sent`.
    int Evaluate(const CommandFrame &sent) const;
    // Whether exactly one whole reply to `sent` arrived: it echoes the
    // mnemonic, carries one of the reader's four letters, its check bytes
    // hold and nothing followed it. A refusal can be well formed; anything
    // else means the line is out of step with the reader.
    bool IsWellFormed(const CommandFrame &sent) const;
    // The data of a 'P' reply to READ: bytes 5 to n-1.
    std::span<const std::uint8_t> Data() const;

private:
    std::array<std::uint8_t, kReplyBufferSize> buffer_{};
    std::size_t bodyLength_;
    std::size_t expected_ = kShortReplySize;
    std::size_t received_ = 0;
};

} // namespace kelvara
