// The remote Sampora interface of the end-to-end tests. A pointer argument
// travels with as many bytes as the function may read or write through it
// for the arguments given (none for arguments it refuses).
#include "tests/remote/RemoteSampora.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace sampora_remote {
namespace {

using namespace wqn::host;

Tokens Call(const Tokens &command) { return CallLibrary(SamporaProcess::Current(), command); }

short Result(const Tokens &r) { return r.empty() ? short(-1) : static_cast<short>(std::atoi(r[0].c_str())); }

std::string N(long value) { return std::to_string(value); }

long Clamp(long value, long low, long high) { return std::max(low, std::min(value, high)); }

std::string Bytes(const void *data, long size)
{
    return data == nullptr ? std::string(kNull) : ToHex(static_cast<const std::uint8_t *>(data), std::size_t(size));
}

// Copies the bytes after the call back into the caller's buffer.
void Back(void *data, const Tokens &r, std::size_t index)
{
    std::vector<std::uint8_t> bytes;
    if (data != nullptr && index < r.size() && FromHex(r[index], &bytes))
        std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t *>(data));
}

short Plain(const char *name) { return Result(Call({name})); }

} // namespace

SamporaProcess::SamporaProcess()
    : HostedLibrary(SAMPORA_HOST_PATH, "tests/remote/sampora-host.exe", "sampora", {})
{
}

SamporaProcess *SamporaProcess::Current() { return dynamic_cast<SamporaProcess *>(HostedLibrary::Newest()); }

short Init() { return Plain("Init"); }
short Close() { return Plain("Close"); }
short CloseCard() { return Plain("CloseCard"); }
short OpenReader() { return Plain("OpenReader"); }
short CloseReader() { return Plain("CloseReader"); }
short SelectSAMCatalog() { return Plain("SelectSAMCatalog"); }
short AllowDeep() { return Plain("AllowDeep"); }
short DisAllowDeep() { return Plain("DisAllowDeep"); }
short OpCorrectDeep() { return Plain("OpCorrectDeep"); }
short OpIncorrectDeep() { return Plain("OpIncorrectDeep"); }

int ReSend()
{
    const Tokens r = Call({"ReSend"});
    return r.empty() ? -1 : std::atoi(r[0].c_str());
}

short OpenCard(unsigned int *cardId)
{
    const Tokens r = Call({"OpenCard", Bytes(cardId, 4)});
    Back(cardId, r, 1);
    return Result(r);
}

short ReadBlock(short selector, short block, unsigned char *data)
{
    const Tokens r = Call({"ReadBlock", N(selector), N(block), Bytes(data, 16)});
    Back(data, r, 1);
    return Result(r);
}

short WriteBlock(short selector, short block, const unsigned char *data)
{
    return Result(Call({"WriteBlock", N(selector), N(block), Bytes(data, 16)}));
}

short ReadCardFile(short fileNumber, unsigned char index, short firstBlock, short count, unsigned char *data)
{
    const Tokens r =
        Call({"ReadCardFile", N(fileNumber), N(index), N(firstBlock), N(count), Bytes(data, 16 * Clamp(count, 0, 4))});
    Back(data, r, 1);
    return Result(r);
}

short WriteCardFile(short fileNumber, unsigned char index, short firstBlock, short length, const unsigned char *data)
{
    return Result(
        Call({"WriteCardFile", N(fileNumber), N(index), N(firstBlock), N(length), Bytes(data, Clamp(length, 0, 48))}));
}

short DownSecret(short selector, short sector, const short *key)
{
    return Result(Call({"DownSecret", N(selector), N(sector), Bytes(key, 6 * sizeof(short))}));
}

short WriteSecret(short selector, short sector, const short *data)
{
    return Result(Call({"WriteSecret", N(selector), N(sector), Bytes(data, 16 * sizeof(short))}));
}

short WriteMAC(short length, short first, short second, const unsigned char *data)
{
    return Result(Call({"WriteMAC", N(length), N(first), N(second), Bytes(data, Clamp(length, 0, 7))}));
}

short SetMAD(short first, short second, short third) { return Result(Call({"SetMAD", N(first), N(second), N(third)})); }

short RestoreCard(short firstSector, short count, short *outA, short *outB, const unsigned char *data)
{
    const Tokens r = Call({"RestoreCard", N(firstSector), N(count), Bytes(outA, sizeof(short)),
                           Bytes(outB, sizeof(short)), Bytes(data, Clamp(count, 0, 14))});
    Back(outA, r, 1);
    Back(outB, r, 2);
    return Result(r);
}

} // namespace sampora_remote
