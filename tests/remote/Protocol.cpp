// Encoding and splitting of protocol lines.
#include "tests/remote/Protocol.h"

#include <algorithm>

namespace wqn::host {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string Encode(std::string_view bytes)
{
    if (bytes.empty())
        return "%";
    std::string token;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b <= 0x20 || b == '%' || b >= 0x7F) {
            token += '%';
            token += kDigits[b >> 4];
            token += kDigits[b & 0xF];
        } else {
            token += ch;
        }
    }
    return token;
}

bool Decode(std::string_view token, std::string *bytes)
{
    bytes->clear();
    if (token == "%")
        return true;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (token[i] != '%') {
            *bytes += token[i];
            continue;
        }
        if (i + 2 >= token.size())
            return false;
        const int high = HexValue(token[i + 1]);
        const int low = HexValue(token[i + 2]);
        if (high < 0 || low < 0)
            return false;
        *bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string JoinLine(const Tokens &tokens)
{
    std::string line;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i > 0)
            line += ' ';
        line += Encode(tokens[i]);
    }
    return line;
}

bool SplitLine(std::string_view line, Tokens *tokens)
{
    tokens->clear();
    std::size_t start = 0;
    while (start <= line.size() && !line.empty()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        std::string token;
        if (!Decode(line.substr(start, end - start), &token))
            return false;
        tokens->push_back(std::move(token));
        start = end + 1;
    }
    return true;
}

std::string ToHex(const std::uint8_t *bytes, std::size_t count)
{
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0xF];
    }
    return hex;
}

bool FromHex(std::string_view hex, std::vector<std::uint8_t> *bytes)
{
    bytes->clear();
    if (hex.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]);
        const int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

} // namespace wqn::host
