// Portable part of the settings: INI text lookup and the low-byte rules.
#include "sampora/Settings.h"

#include <cctype>

namespace sampora {

LineSettings ToLineSettings(const ReaderSettings &settings)
{
    LineSettings line;
    line.port = settings.port & 0xFF;
    line.baud = settings.baud;
    line.dataBits = settings.databit & 0xFF;
    const unsigned parity = settings.paritybit & 0xFF;
    line.oddParity = parity == 'O' || parity == 'o';
    line.twoStopBits = (settings.stopbit & 0xFF) == 2;
    return line;
}

bool IsValidPortNumber(unsigned port)
{
    const unsigned low = port & 0xFF;
    return low >= 1 && low <= 6;
}

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

unsigned ParseNumber(std::string_view s)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    unsigned value = 0; // wraps like the 32-bit original
    for (char c : s) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

} // namespace

unsigned ProfileInt(std::string_view text, std::string_view section, std::string_view key, unsigned fallback)
{
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            inSection = close != std::string_view::npos && SameName(Trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (SameName(Trim(line.substr(0, eq)), key))
            return ParseNumber(Trim(line.substr(eq + 1)));
    }
    return fallback;
}

} // namespace sampora
