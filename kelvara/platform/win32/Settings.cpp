// Settings on Windows: values of HKEY_CURRENT_USER\Software\WQN_Ltd.\Kelvara
// \Settings, integers as REG_DWORD and texts as REG_SZ, as the framework's
// profile functions stored them.
#include "kelvara/services/Settings.h"

#include "common/win32/WindowsHeaders.h"

#include <vector>

namespace kelvara {
namespace {

constexpr const char *kKeyPath = "Software\\WQN_Ltd.\\Kelvara\\Settings";

class RegistryKey {
public:
    ~RegistryKey()
    {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
        }
    }
    bool Open() { return ::RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key_) == ERROR_SUCCESS; }
    bool Create()
    {
        return ::RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                 &key_, nullptr) == ERROR_SUCCESS;
    }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

} // namespace

int ReadSettingInt(std::string_view name, int defaultValue)
{
    try {
        RegistryKey key;
        if (!key.Open()) {
            return defaultValue;
        }
        const std::string valueName(name);
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (::RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof value) {
            return defaultValue;
        }
        return static_cast<int>(value);
    } catch (...) {
        return defaultValue;
    }
}

std::string ReadSettingText(std::string_view name, std::string_view defaultValue)
{
    try {
        RegistryKey key;
        if (!key.Open()) {
            return std::string(defaultValue);
        }
        const std::string valueName(name);
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return std::string(defaultValue);
        }
        std::vector<char> buffer(size + 1, '\0');
        if (::RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(buffer.data()),
                               &size) != ERROR_SUCCESS) {
            return std::string(defaultValue);
        }
        return std::string(buffer.data());
    } catch (...) {
        return std::string(defaultValue);
    }
}

bool WriteSettingInt(std::string_view name, int value)
{
    try {
        RegistryKey key;
        if (!key.Create()) {
            return false;
        }
        const std::string valueName(name);
        const DWORD v = static_cast<DWORD>(value);
        return ::RegSetValueExA(key.Get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v),
                                sizeof v) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

bool WriteSettingText(std::string_view name, std::string_view value)
{
    try {
        RegistryKey key;
        if (!key.Create()) {
            return false;
        }
        const std::string valueName(name);
        const std::string text(value);
        return ::RegSetValueExA(key.Get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                                DWORD(text.size() + 1)) == ERROR_SUCCESS;
    } catch (...) {
        return false;
    }
}

std::string SettingsLocation() { return std::string("HKEY_CURRENT_USER\\") + kKeyPath; }

} // namespace kelvara
