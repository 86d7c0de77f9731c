// USB serial adapters on Windows: the COM ports of the registry's serial map
// (HKLM HARDWARE\DEVICEMAP\SERIALCOMM) whose driver is not the built-in
// serial port's (\Device\SerialN); the driver's device name (\Device\VCP0,
// \Device\USBSER000, ...) is all the description the map gives.
#include "kelvara/services/SerialAdapters.h"

#include "common/win32/WindowsHeaders.h"

#include <algorithm>
#include <cctype>

namespace kelvara {
namespace {

constexpr const char *kMapPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char *kBuiltInPrefix = "\\Device\\Serial";
constexpr const char *kDevicePrefix = "\\Device\\";

} // namespace

std::vector<SerialAdapter> ListSerialAdapters()
{
    std::vector<SerialAdapter> adapters;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMapPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return adapters;
    try {
        for (DWORD index = 0;; ++index) {
            char name[256];
            BYTE data[256];
            DWORD nameSize = sizeof name;
            DWORD dataSize = sizeof data - 1;
            DWORD type = 0;
            const LONG r = ::RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            if (r != ERROR_SUCCESS || type != REG_SZ)
                continue;
            data[dataSize] = 0;
            const std::string driver(name, nameSize);
            if (driver.rfind(kBuiltInPrefix, 0) == 0)
                continue;
            const std::string port(reinterpret_cast<const char *>(data));
            if (!port.empty())
                adapters.push_back({port, driver.rfind(kDevicePrefix, 0) == 0 ? driver.substr(8) : driver});
        }
        std::sort(adapters.begin(), adapters.end(),
                  [](const SerialAdapter &a, const SerialAdapter &b) { return a.port < b.port; });
    } catch (...) {
        adapters.clear();
    }
    ::RegCloseKey(key);
    return adapters;
}

std::string SerialAdapterDescription(const std::string &device)
{
    for (const SerialAdapter &adapter : ListSerialAdapters()) {
        const auto same = [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        };
        if (std::equal(adapter.port.begin(), adapter.port.end(), device.begin(), device.end(), same))
            return adapter.description;
    }
    return {};
}

} // namespace kelvara
