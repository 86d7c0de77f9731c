// Stored settings: integer and text values by name in the section "Settings"
// of the library's profile (the registry on Windows, an INI file on Linux).
// Every read goes to the store, every write changes it at once.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// The values the library keeps, with the defaults used when one is missing.
namespace setting {
inline constexpr std::string_view kPortMode = "PortMode"; // default 0
inline constexpr std::string_view kComPortID = "ComPortID"; // default 0
inline constexpr std::string_view kBaudRateIndex = "BaudRateIndex"; // default 6
inline constexpr std::string_view kBaudRateMax = "BaudRateMax"; // default 6
inline constexpr std::string_view kComPortName = "ComPortName"; // default "com1"
inline constexpr std::string_view kWaitMS = "WaitMS"; // written as 5000

inline constexpr int kPortModeDefault = 0;
inline constexpr int kComPortIDDefault = 0;
inline constexpr int kBaudRateIndexDefault = 6;
inline constexpr int kBaudRateMaxDefault = 6;
inline constexpr std::string_view kComPortNameDefault = "com1";
inline constexpr int kWaitMSDefault = 5000;
} // namespace setting

// The value stored under `name`, or `defaultValue` when it is missing or
// cannot be read as the requested type. Never throws.
int ReadSettingInt(std::string_view name, int defaultValue);
std::string ReadSettingText(std::string_view name, std::string_view defaultValue);

// Stores a value; false when the store refused it (callers may ignore it).
bool WriteSettingInt(std::string_view name, int value);
bool WriteSettingText(std::string_view name, std::string_view value);

// Where the settings live, for people: the file path on Linux, the registry
// key on Windows.
std::string SettingsLocation();

} // namespace kelvara
