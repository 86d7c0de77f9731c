// The frames of the maker's USB reader, pure and without I/O. They share
// the layout and check bytes of the serial reader's frames (the same
// builder makes them) but add the legacy command set used on Windows 98
// and the USB reader's own reading of a reply's status letter.
#pragma once

#include "kelvara/readers/protocol/ReaderFrame.h"

#include <cstddef>
#include <cstdint>

namespace kelvara::usb_frame {

// Data bytes one legacy read reply carries, and one legacy write request.
inline constexpr int kLegacyReadPiece = 57;
inline constexpr int kLegacyWritePiece = 56;
// Bytes requested for a version reply; the text starts at byte 7 and has
// at most 50 bytes.
inline constexpr std::size_t kVersionReplySize = 59;
inline constexpr std::size_t kVersionTextOffset = 7;
inline constexpr std::size_t kVersionTextMax = 50;

CommandFrame Stat(bool legacy); // "STAT" / "ST98"
CommandFrame Read(bool legacy, int page, int offset, int length); // "READ" / "RE98"
CommandFrame Part(int piece, int pieceLength); // "PART" (legacy only)
CommandFrame Write(bool legacy, int page, int offset, int length); // "WRTE" / "WR98"
CommandFrame Version(bool legacy); // "GETV" / "GE98"
CommandFrame Exit(); // "EXIT" (both modes)
CommandFrame Lock(); // "LOCK" (both modes)

// The status code of a reply judged over its first `m` bytes (status
// letter at byte 4, check bytes at m and m+1): 'P' 0, 'Q' 1, 'S' 2 whatever
// the check bytes; 'U' 3 and 'T' -2 only with valid check bytes; anything
// else, or 'P', 'T', 'U' with wrong check bytes, -1. `reply` holds at least
// m + 2 bytes and m is at least 5.
int DecodeStatus(const std::uint8_t *reply, std::size_t m);

// 0 when the check bytes of a reply over its first `m` bytes are valid,
// -1 otherwise, whatever its status letter.
int CheckReplySum(const std::uint8_t *reply, std::size_t m);

// The bytes a legacy read of `length` asks for in its first reply
// (length + 7 below a full piece, 64 from a full piece on).
inline std::size_t FirstLegacyReplySize(int length)
{
    return std::size_t(length < kLegacyReadPiece ? length : kLegacyReadPiece) + 7;
}

} // namespace kelvara::usb_frame
