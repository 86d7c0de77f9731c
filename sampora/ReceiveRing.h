// The receive ring and its frame parser. Pure: bytes go in, recognised
// replies come out; no I/O, no threads, no clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sampora {

// A recognised reply: the status byte and the data bytes after it.
struct Reply {
    int status = -1;
    std::array<std::uint8_t, 64> data{};
    std::size_t length = 0; // number of data bytes, 0 to 64
};

class ReceiveRing {
public:
    static constexpr std::size_t kSize = 345; // one place always stays free
    static constexpr std::size_t kCapacity = kSize - 1;
    static constexpr std::size_t kFrameLimit = 69; // longest frame recognised

    // Appends bytes at the tail. Bytes that arrive while the ring is full are
    // dropped. Returns how many were kept.
    std::size_t Append(const std::uint8_t *bytes, std::size_t count);

    // Runs the parser once over what the ring holds. Returns true and fills
    // `reply` when a complete frame was found; its bytes up to the end mark are
    // consumed (the end mark stays at the head and is skipped by the next
    // search). Returns false when no complete frame is there yet; a partial
    // frame stays in the ring for the next run.
    bool Parse(Reply &reply);

    std::size_t Size() const { return (tail_ + kSize - head_) % kSize; }
    std::size_t Head() const { return head_; }
    std::size_t Tail() const { return tail_; }

private:
    static std::size_t Next(std::size_t i) { return (i + 1) % kSize; }

    std::array<std::uint8_t, kSize> ring_{};
    std::size_t head_ = 0; // oldest byte kept
    std::size_t scan_ = 0; // the byte the parser is looking at
    std::size_t tail_ = 0; // next free place
    std::array<std::uint8_t, kFrameLimit> frame_{};
};

} // namespace sampora
