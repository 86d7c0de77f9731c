// Frames and reply checks of the maker's USB reader.
#include "kelvara/readers/usb/UsbFrames.h"

#include <span>

namespace kelvara::usb_frame {
namespace {

CommandFrame PageCommand(const char *mnemonic, int page, int offset, int length)
{
    const std::uint8_t p[6] = {
        std::uint8_t(unsigned(page) & 0xFF),   std::uint8_t((unsigned(page) >> 8) & 0xFF),
        std::uint8_t(unsigned(offset) & 0xFF), std::uint8_t((unsigned(offset) >> 8) & 0xFF),
        std::uint8_t(unsigned(length) & 0xFF), std::uint8_t((unsigned(length) >> 8) & 0xFF),
    };
    return BuildCommand(mnemonic, p);
}

// Commands whose parameters are three zero bytes.
CommandFrame ZeroCommand(const char *mnemonic)
{
    constexpr std::uint8_t zeros[3] = {0, 0, 0};
    return BuildCommand(mnemonic, zeros);
}

bool ChecksValid(const std::uint8_t *reply, std::size_t m)
{
    const CheckBytes c = ComputeCheckBytes(std::span(reply, m));
    return reply[m] == c.sum && reply[m + 1] == c.xorValue;
}

} // namespace

CommandFrame Stat(bool legacy) { return BuildCommand(legacy ? "ST98" : "STAT", {}); }

CommandFrame Read(bool legacy, int page, int offset, int length)
{
    return PageCommand(legacy ? "RE98" : "READ", page, offset, length);
}

CommandFrame Part(int piece, int pieceLength)
{
    const std::uint8_t p[6] = {std::uint8_t(piece),
                               0,
                               0,
                               0,
                               std::uint8_t(unsigned(pieceLength) & 0xFF),
                               std::uint8_t((unsigned(pieceLength) >> 8) & 0xFF)};
    return BuildCommand("PART", p);
}

CommandFrame Write(bool legacy, int page, int offset, int length)
{
    return PageCommand(legacy ? "WR98" : "WRTE", page, offset, length);
}

CommandFrame Version(bool legacy) { return ZeroCommand(legacy ? "GE98" : "GETV"); }
CommandFrame Exit() { return ZeroCommand("EXIT"); }
CommandFrame Lock() { return ZeroCommand("LOCK"); }

int DecodeStatus(const std::uint8_t *reply, std::size_t m)
{
    const bool valid = ChecksValid(reply, m);
    switch (reply[4]) {
    case 'P':
        return valid ? 0 : -1;
    case 'Q':
        return 1;
    case 'S':
        return 2;
    case 'T':
        return valid ? -2 : -1;
    case 'U':
        return valid ? 3 : -1;
    default:
        return -1; // 'R' and any other letter
    }
}

int CheckReplySum(const std::uint8_t *reply, std::size_t m) { return ChecksValid(reply, m) ? 0 : -1; }

} // namespace kelvara::usb_frame
