// Settings on Linux: an INI file with a [Settings] section of Name=value
// lines, at $KELVARA_SETTINGS, else $XDG_CONFIG_HOME/WQN_Ltd./Kelvara/
// settings.ini, else ~/.config/WQN_Ltd./Kelvara/settings.ini. The file is
// read at every access and replaced atomically (temp file and rename) at
// every change, so two processes never see half a file.
#include "kelvara/services/Settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvara {
namespace {

constexpr std::string_view kSection = "Settings";

std::string SettingsPath()
{
    if (const char *p = std::getenv("KELVARA_SETTINGS"); p != nullptr && *p != '\0') {
        return p;
    }
    std::string base;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x != '\0') {
        base = x;
    } else if (const char *h = std::getenv("HOME"); h != nullptr && *h != '\0') {
        base = std::string(h) + "/.config";
    } else {
        base = ".config";
    }
    return base + "/WQN_Ltd./Kelvara/settings.ini";
}

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

std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return lines;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(char(c));
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    std::fclose(f);
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

// The key of a Name=value line, or false for anything else.
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

bool Lookup(std::string_view name, std::string *out)
{
    bool inSection = false;
    for (const std::string &line : ReadLines(SettingsPath())) {
        std::string_view section;
        if (IsSectionLine(line, &section)) {
            inSection = EqualsAsciiNoCase(section, kSection);
            continue;
        }
        std::string_view key, value;
        if (inSection && SplitEntry(line, &key, &value) && EqualsAsciiNoCase(key, name)) {
            *out = std::string(value);
            return true;
        }
    }
    return false;
}

bool MakeDirectories(const std::string &dir)
{
    if (dir.empty()) {
        return true;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

bool Store(std::string_view name, std::string_view value)
{
    const std::string path = SettingsPath();
    std::vector<std::string> lines = ReadLines(path);
    const std::string entry = std::string(name) + "=" + std::string(value);

    bool inSection = false;
    bool sectionSeen = false;
    bool done = false;
    std::size_t insertAt = lines.size();
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        std::string_view section;
        if (IsSectionLine(lines[i], &section)) {
            if (inSection) {
                break; // end of our section: insert before this line
            }
            inSection = EqualsAsciiNoCase(section, kSection);
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
            lines.insert(lines.begin() + std::ptrdiff_t(insertAt), "[" + std::string(kSection) + "]");
            ++insertAt;
        }
        lines.insert(lines.begin() + std::ptrdiff_t(insertAt), entry);
    }

    std::string text;
    for (const std::string &line : lines) {
        text += line;
        text += '\n';
    }

    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && !MakeDirectories(path.substr(0, slash))) {
        return false;
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temp.c_str());
    return false;
}

} // namespace

int ReadSettingInt(std::string_view name, int defaultValue)
{
    try {
        std::string text;
        if (!Lookup(name, &text)) {
            return defaultValue;
        }
        std::string_view t = Trim(text);
        if (t.empty()) {
            return defaultValue;
        }
        const std::string s(t);
        char *end = nullptr;
        errno = 0;
        const long long v = std::strtoll(s.c_str(), &end, 10);
        if (errno != 0 || end == s.c_str() || *end != '\0') {
            return defaultValue;
        }
        // Stored like a 32-bit registry number: wrap rather than refuse.
        return static_cast<int>(static_cast<unsigned int>(v));
    } catch (...) {
        return defaultValue;
    }
}

std::string ReadSettingText(std::string_view name, std::string_view defaultValue)
{
    try {
        std::string text;
        if (Lookup(name, &text)) {
            return text;
        }
        return std::string(defaultValue);
    } catch (...) {
        return std::string(defaultValue);
    }
}

bool WriteSettingInt(std::string_view name, int value)
{
    try {
        return Store(name, std::to_string(value));
    } catch (...) {
        return false;
    }
}

bool WriteSettingText(std::string_view name, std::string_view value)
{
    try {
        return Store(name, value);
    } catch (...) {
        return false;
    }
}

std::string SettingsLocation() { return SettingsPath(); }

} // namespace kelvara
