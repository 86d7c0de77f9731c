// Shared by the fuzz targets: a reader over the fuzzer's bytes and a check
// that stops the run (and so reports the input) when a property fails.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Stops with a message when `condition` is false: the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);                      \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace fuzz {

// Takes bytes from the front of the input; past its end every read gives 0
// and Empty() is true.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size)
        : data_(data),
          size_(size)
    {
    }

    bool Empty() const { return pos_ >= size_; }
    std::size_t Left() const { return Empty() ? 0 : size_ - pos_; }

    std::uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
    std::uint16_t Word() // little-endian
    {
        const unsigned lo = Byte();
        return static_cast<std::uint16_t>(lo | (unsigned(Byte()) << 8));
    }
    // Up to `count` bytes (fewer at the end of the input).
    std::string_view Bytes(std::size_t count)
    {
        count = std::min(count, Left());
        const std::string_view out(reinterpret_cast<const char *>(data_) + pos_, count);
        pos_ += count;
        return out;
    }
    std::string_view Rest() { return Bytes(Left()); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace fuzz
