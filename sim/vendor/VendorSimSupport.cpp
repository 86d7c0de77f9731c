// Shared parts of the simulated vendor libraries.
#include "sim/vendor/VendorSimSupport.h"

#include "kelvara/readers/protocol/LineSpeeds.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace wqn::sim::vendor {
namespace {

bool ParseLong(const std::string &text, long *out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

void ApplyFaults(FlashCard &card, const std::string &text, bool reads)
{
    for (const std::string &item : Split(text, ',')) {
        const auto colon = item.find(':');
        long page = 0;
        if (!ParseLong(item.substr(0, colon), &page) || page < 0 || page >= FlashCard::kPageCount)
            continue;
        const auto repeat = colon != std::string::npos && item.substr(colon + 1) == "once" ? FlashCard::Repeat::Once
                                                                                           : FlashCard::Repeat::Always;
        if (reads)
            card.FailReads(int(page), repeat);
        else
            card.FailWrites(int(page), repeat);
    }
}

} // namespace

std::string EnvText(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::optional<std::set<long>> ParseNumbers(const std::string &text)
{
    std::set<long> numbers;
    for (const std::string &item : Split(text, ',')) {
        long v = 0;
        if (!ParseLong(item, &v))
            return std::nullopt;
        numbers.insert(v);
    }
    return numbers;
}

long PerPort::For(long port) const
{
    const auto it = ports.find(port);
    return it != ports.end() ? it->second : fallback;
}

std::optional<PerPort> ParsePerPort(const std::string &text, long fallback)
{
    PerPort result;
    result.fallback = fallback;
    for (const std::string &item : Split(text, ',')) {
        const auto colon = item.find(':');
        long value = 0;
        if (colon == std::string::npos) {
            if (!ParseLong(item, &value))
                return std::nullopt;
            result.fallback = value;
            continue;
        }
        long port = 0;
        if (!ParseLong(item.substr(0, colon), &port) || !ParseLong(item.substr(colon + 1), &value))
            return std::nullopt;
        result.ports[port] = value;
    }
    return result;
}

void Log(const char *envName, const std::string &line)
{
    const std::string path = EnvText(envName);
    if (!path.empty())
        AppendLine(path, line);
}

bool ReaderAt(const std::string &envPrefix, long port, long baud)
{
    const std::string ports = EnvText((envPrefix + "_PORTS").c_str());
    const auto portSet = ParseNumbers(ports.empty() ? "0" : ports == "none" ? "" : ports);
    const std::string speeds = EnvText((envPrefix + "_SPEEDS").c_str());
    if (speeds.empty()) // every speed the readers know
        return portSet && portSet->count(port) != 0 &&
            std::find(kelvara::kLineSpeeds.begin(), kelvara::kLineSpeeds.end(), std::uint32_t(baud)) !=
            kelvara::kLineSpeeds.end();
    const auto speedSet = ParseNumbers(speeds);
    return portSet && speedSet && portSet->count(port) != 0 && speedSet->count(baud) != 0;
}

SimCard::SimCard(const char *imageEnv, const char *failReadEnv, const char *failWriteEnv)
    : imageEnv_(imageEnv),
      failReadEnv_(failReadEnv),
      failWriteEnv_(failWriteEnv)
{
}

bool SimCard::Load()
{
    card_.reset();
    try {
        const std::string image = EnvText(imageEnv_);
        card_ = image.empty() ? std::make_unique<FlashCard>() : std::make_unique<FlashCard>(image);
    } catch (...) {
        return false;
    }
    ApplyFaults(*card_, EnvText(failReadEnv_), true);
    ApplyFaults(*card_, EnvText(failWriteEnv_), false);
    return true;
}

template <class Bytes, class PageTransfer>
bool SimCard::Walk(long address, long length, Bytes *buffer, PageTransfer transfer)
{
    if (!card_ || address < 0 || length < 0 || buffer == nullptr || address + length > long(FlashCard::kImageSize))
        return false;
    while (length > 0) {
        const int page = int(address / FlashCard::kPageSize);
        const int offset = int(address % FlashCard::kPageSize);
        const int piece = int(std::min<long>(length, FlashCard::kPageSize - offset));
        if (!transfer(page, offset, piece, buffer))
            return false;
        address += piece;
        length -= piece;
        buffer += piece;
    }
    return true;
}

bool SimCard::Read(long address, long length, std::uint8_t *buffer)
{
    return Walk(address, length, buffer, [this](int page, int offset, int piece, std::uint8_t *bytes) {
        return card_->ReadBlock(page, offset, piece, bytes);
    });
}

bool SimCard::Write(long address, long length, const std::uint8_t *buffer)
{
    return Walk(address, length, buffer, [this](int page, int offset, int piece, const std::uint8_t *bytes) {
        return card_->WriteBlock(page, offset, piece, bytes);
    });
}

std::string Hex(const std::uint8_t *bytes, long count, long limit)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (long i = 0; i < count && i < limit; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    if (count > limit)
        text += "..";
    return text;
}

} // namespace wqn::sim::vendor
