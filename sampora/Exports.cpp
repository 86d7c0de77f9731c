// The exported C functions: argument checks in a fixed order, the command
// payloads, and the copying of reply data on success.
#include "sampora.h"

#include "sampora/Reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

using sampora::TheReader;

constexpr short kTimedOut = -1;
// Returned when a pointer the call needs is null. Not a reader status (those
// are 0 to 255) and apart from the range errors -2 to -4.
constexpr short kNullPointer = -5;
constexpr unsigned kShortTimeout = 1000;
constexpr unsigned kLongTimeout = 2000;
constexpr unsigned char kSuccess = 1;

using Data = std::array<std::uint8_t, 64>;

std::uint8_t Low(int value) { return static_cast<std::uint8_t>(value & 0xFF); }
std::uint8_t High(short value) { return static_cast<std::uint8_t>((static_cast<unsigned short>(value) >> 8) & 0xFF); }
unsigned U16(short value) { return static_cast<unsigned short>(value); }

short Run(const std::vector<std::uint8_t> &payload, unsigned timeout, Data &data)
{
    return static_cast<short>(TheReader().Exchange(payload.data(), payload.size(), timeout, data));
}

short Simple(std::uint8_t command, unsigned timeout = kShortTimeout)
{
    Data data;
    return Run({command}, timeout, data);
}

// Every export runs its body through this: no exception leaves the library.
template <typename Body>
auto Guarded(short failure, Body body) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

bool IsSelector(short selector) { return selector == 0 || selector == 1; }

} // namespace

extern "C" {

SAMPORA_API short SAMPORA_CALL Init(void)
{
    return Guarded(-1, [] { return static_cast<short>(TheReader().Init()); });
}

SAMPORA_API short SAMPORA_CALL Close(void)
{
    return Guarded(0, [] {
        TheReader().Close();
        return short{0};
    });
}

SAMPORA_API short SAMPORA_CALL OpenCard(unsigned int *cardId)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (cardId == nullptr)
            return kNullPointer;
        Data data;
        const short status = Run({0x31}, kShortTimeout, data);
        if (status == kSuccess) {
            *cardId = static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[1]) << 8 |
                static_cast<unsigned>(data[2]) << 16 | static_cast<unsigned>(data[3]) << 24;
        }
        return status;
    });
}

SAMPORA_API short SAMPORA_CALL CloseCard(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x38); });
}

SAMPORA_API short SAMPORA_CALL OpenReader(void)
{
    return Guarded(kTimedOut, [] {
        Data data;
        return Run({0x35, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05, 0x05}, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL CloseReader(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x36); });
}

SAMPORA_API short SAMPORA_CALL ReadBlock(short selector, short block, unsigned char *out)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (!IsSelector(selector))
            return -2;
        if (U16(block) > 63)
            return -3;
        if (out == nullptr)
            return kNullPointer;
        Data data;
        const short status = Run({0x32, Low(selector), Low(block)}, kShortTimeout, data);
        if (status == kSuccess)
            std::copy_n(data.begin(), 16, out);
        return status;
    });
}

SAMPORA_API short SAMPORA_CALL WriteBlock(short selector, short block, const unsigned char *in)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (!IsSelector(selector))
            return -2;
        if (U16(block) > 63)
            return -3;
        if (block % 4 == 3)
            return -3; // the last block of a sector holds its keys
        if (in == nullptr)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x33, Low(selector), Low(block)};
        payload.insert(payload.end(), in, in + 16);
        Data data;
        return Run(payload, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL ReadCardFile(short fileNumber, unsigned char index, short firstBlock, short count,
                                            unsigned char *out)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (U16(firstBlock) > 3)
            return -3;
        if (count < 1 || count > 4 - firstBlock)
            return -4;
        if (out == nullptr)
            return kNullPointer;
        Data data;
        const short status =
            Run({0x3B, High(fileNumber), Low(fileNumber), index, Low(firstBlock), Low(count)}, kShortTimeout, data);
        if (status == kSuccess)
            std::copy_n(data.begin(), count * 16, out);
        return status;
    });
}

SAMPORA_API short SAMPORA_CALL WriteCardFile(short fileNumber, unsigned char index, short firstBlock, short length,
                                             const unsigned char *in)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (U16(firstBlock) > 2)
            return -3;
        if (length < 0 || length > (3 - firstBlock) * 16)
            return -4;
        if (in == nullptr && length > 0)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x39, High(fileNumber), Low(fileNumber), index, Low(firstBlock),
                                          0x00, Low(length)};
        if (length > 0)
            payload.insert(payload.end(), in, in + length);
        Data data;
        return Run(payload, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL DownSecret(short selector, short sector, const short *key)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (!IsSelector(selector))
            return -2;
        if (U16(sector) > 15)
            return -4;
        if (key == nullptr)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x34, Low(selector), Low(sector)};
        for (int i = 0; i < 6; ++i)
            payload.push_back(Low(key[i]));
        Data data;
        return Run(payload, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL SelectSAMCatalog(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x37, kLongTimeout); });
}

SAMPORA_API short SAMPORA_CALL WriteSecret(short selector, short sector, const short *secret)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (!IsSelector(selector))
            return -2;
        if (U16(sector) > 15)
            return -3;
        if (secret == nullptr)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x3A, Low(selector), Low(sector)};
        for (int i = 0; i < 16; ++i)
            payload.push_back(Low(secret[i]));
        Data data;
        return Run(payload, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL WriteMAC(short length, short first, short second, const unsigned char *in)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (length < 1 || length > 7)
            return -2;
        if (in == nullptr)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x3C, Low(length), High(first), Low(first), High(second), Low(second)};
        payload.insert(payload.end(), in, in + length);
        Data data;
        return Run(payload, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL SetMAD(short first, short second, short third)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (first < 1 || first > 7)
            return -2;
        if (second < 1 || second > 7)
            return -3;
        if (third < 1 || third > 14)
            return -4;
        Data data;
        return Run({0x3D, Low(first), Low(second), Low(third)}, kShortTimeout, data);
    });
}

SAMPORA_API short SAMPORA_CALL RestoreCard(short firstSector, short count, short *outA, short *outB,
                                           const unsigned char *in)
{
    return Guarded(kTimedOut, [&]() -> short {
        if (firstSector < 1 || firstSector > 14)
            return -2;
        if (count < 1 || count > 15 - firstSector)
            return -3;
        if (outA == nullptr || outB == nullptr || in == nullptr)
            return kNullPointer;
        std::vector<std::uint8_t> payload{0x3E, Low(firstSector), Low(count)};
        payload.insert(payload.end(), in, in + count);
        Data data;
        const short status = Run(payload, kShortTimeout, data);
        if (status == kSuccess) {
            *outA = static_cast<short>(data[3]);
            *outB = static_cast<short>(data[0]);
        }
        return status;
    });
}

SAMPORA_API short SAMPORA_CALL AllowDeep(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x08); });
}

SAMPORA_API short SAMPORA_CALL DisAllowDeep(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x09); });
}

SAMPORA_API short SAMPORA_CALL OpCorrectDeep(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x0A, kLongTimeout); });
}

SAMPORA_API short SAMPORA_CALL OpIncorrectDeep(void)
{
    return Guarded(kTimedOut, [] { return Simple(0x0B, kLongTimeout); });
}

SAMPORA_API int SAMPORA_CALL ReSend(void)
{
    return Guarded(-1, [] {
        const std::uint8_t payload = 0xE0;
        return TheReader().Send(&payload, 1);
    });
}

} // extern "C"
