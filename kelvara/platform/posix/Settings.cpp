// Settings on Linux: an INI file with a [Settings] section of Name=value
// lines, at $KELVARA_SETTINGS, else $XDG_CONFIG_HOME/WQN_Ltd./Kelvara/
// settings.ini, else ~/.config/WQN_Ltd./Kelvara/settings.ini. The file is
// read at every access and replaced atomically (temp file and rename) at
// every change, so two processes never see half a file.
#include "kelvara/services/Settings.h"

#include "kelvara/platform/posix/IniText.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// The whole file as text; empty when it cannot be read.
std::string ReadText(const std::string &path)
{
    std::string text;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return text;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return text;
}

bool Lookup(std::string_view name, std::string *out)
{
    std::optional<std::string> value = ini::Lookup(ReadText(SettingsPath()), kSection, name);
    if (!value) {
        return false;
    }
    *out = std::move(*value);
    return true;
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
    const std::optional<std::string> text = ini::Store(ReadText(path), kSection, name, value);
    if (!text) {
        return false;
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
    bool ok = WriteAll(fd, *text) && ::fsync(fd) == 0;
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
        return ini::ParseInt(text).value_or(defaultValue);
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
