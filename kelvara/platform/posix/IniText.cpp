// The INI text of the Linux settings file.
#include "kelvara/platform/posix/IniText.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kelvara::ini {
namespace {

bool EqualsAsciiNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// The lines of a text; a last line without '\n' counts when it is not empty.
std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

bool IsSectionLine(std::string_view line, std::string_view *name)
{
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return false;
    }
    *name = Trim(line.substr(1, line.size() - 2));
    return true;
}

// The key and value of a Name=value line, or false for anything else.
bool SplitEntry(std::string_view line, std::string_view *key, std::string_view *value)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    *key = Trim(line.substr(0, eq));
    // Strings are stored raw: only the line end is taken off.
    std::string_view v = line.substr(eq + 1);
    if (!v.empty() && v.back() == '\r') {
        v.remove_suffix(1);
    }
    *value = v;
    return !key->empty() && line.front() != ';' && line.front() != '#';
}

bool ReadsBack(std::string_view name, std::string_view value)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (name.empty() || blank(name.front()) || blank(name.back()) || name.find_first_of("=\n\r") != name.npos ||
        name.front() == ';' || name.front() == '#' || name.front() == '[') {
        return false;
    }
    return value.find('\n') == value.npos && (value.empty() || value.back() != '\r');
}

} // namespace

std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view name)
{
    bool inSection = false;
    for (std::string_view line : Lines(text)) {
        std::string_view found;
        if (IsSectionLine(line, &found)) {
            inSection = EqualsAsciiNoCase(found, section);
            continue;
        }
        std::string_view key, value;
        if (inSection && SplitEntry(line, &key, &value) && EqualsAsciiNoCase(key, name)) {
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::optional<std::string> Store(std::string_view text, std::string_view section, std::string_view name,
                                 std::string_view value)
{
    // A value that could not be read back would break the line it sits on,
    // or slip another setting into the file.
    if (!ReadsBack(name, value)) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    for (std::string_view line : Lines(text)) {
        lines.emplace_back(line);
    }
    const std::string entry = std::string(name) + "=" + std::string(value);

    bool inSection = false;
    bool sectionSeen = false;
    bool done = false;
    std::size_t insertAt = lines.size();
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        std::string_view found;
        if (IsSectionLine(lines[i], &found)) {
            if (inSection) {
                break; // end of our section: insert before this line
            }
            inSection = EqualsAsciiNoCase(found, section);
            if (inSection) {
                sectionSeen = true;
                insertAt = i + 1;
            }
            continue;
        }
        std::string_view key, old;
        if (inSection) {
            if (!Trim(lines[i]).empty()) {
                insertAt = i + 1;
            }
            if (SplitEntry(lines[i], &key, &old) && EqualsAsciiNoCase(key, name)) {
                lines[i] = entry;
                done = true;
            }
        }
    }
    if (!done) {
        if (!sectionSeen) {
            insertAt = lines.size();
            lines.insert(lines.begin() + std::ptrdiff_t(insertAt), "[" + std::string(section) + "]");
            ++insertAt;
        }
        lines.insert(lines.begin() + std::ptrdiff_t(insertAt), entry);
    }

    std::string out;
    for (const std::string &line : lines) {
        out += line;
        out += '\n';
    }
    return out;
}

std::optional<int> ParseInt(std::string_view value)
{
    const std::string_view t = Trim(value);
    if (t.empty()) {
        return std::nullopt;
    }
    const std::string s(t);
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || *end != '\0') {
        return std::nullopt;
    }
    // Stored like a 32-bit registry number: wrap rather than refuse.
    return static_cast<int>(static_cast<unsigned int>(v));
}

} // namespace kelvara::ini
