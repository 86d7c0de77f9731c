// USB serial adapters on Linux, from sysfs: a tty whose device sits below a
// USB device (the first directory above it with an idVendor file; one level
// up for ttyUSB and ttyACM interfaces, two for a usb-serial port).
#include "kelvara/services/SerialAdapters.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kelvara {
namespace {

namespace fs = std::filesystem;

// How far above the tty's device the USB device may be.
constexpr int kUsbDeviceLevels = 4;

std::string Root()
{
    const char *root = std::getenv("WQN_DEVICE_ROOT");
    return root != nullptr ? std::string(root) : std::string();
}

// The first line of a sysfs attribute, without surrounding blanks.
std::string Attribute(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

// "maker product (vvvv:pppp)" of the USB device above tty `name`; "" when
// the tty is not on USB.
std::string UsbDescription(const std::string &root, const std::string &name)
{
    std::error_code ec;
    const fs::path link = fs::path(root + "/sys/class/tty") / name / "device";
    fs::path at = fs::canonical(link, ec);
    if (ec || name.empty())
        return {};
    for (int level = 0; level < kUsbDeviceLevels && at.has_parent_path(); ++level) {
        at = at.parent_path();
        if (!fs::exists(at / "idVendor", ec))
            continue;
        std::string text = Attribute(at / "manufacturer");
        const std::string product = Attribute(at / "product");
        if (!product.empty())
            text += (text.empty() ? "" : " ") + product;
        const std::string ids = Attribute(at / "idVendor") + ":" + Attribute(at / "idProduct");
        return text.empty() ? "(" + ids + ")" : text + " (" + ids + ")";
    }
    return {};
}

} // namespace

std::vector<SerialAdapter> ListSerialAdapters()
{
    std::vector<SerialAdapter> adapters;
    try {
        const std::string root = Root();
        std::error_code ec;
        for (const fs::directory_entry &entry : fs::directory_iterator(root + "/sys/class/tty", ec)) {
            const std::string name = entry.path().filename().string();
            std::string description = UsbDescription(root, name);
            if (!description.empty())
                adapters.push_back({root + "/dev/" + name, std::move(description)});
        }
        std::sort(adapters.begin(), adapters.end(),
                  [](const SerialAdapter &a, const SerialAdapter &b) { return a.port < b.port; });
    } catch (...) {
        adapters.clear();
    }
    return adapters;
}

std::string SerialAdapterDescription(const std::string &device)
{
    try {
        const std::string root = Root();
        // A device link (/dev/serial/by-id/...) describes the tty it leads to.
        std::string description = UsbDescription(root, fs::path(device).filename().string());
        std::error_code ec;
        if (description.empty()) {
            const fs::path target = fs::canonical(device, ec);
            if (!ec)
                description = UsbDescription(root, target.filename().string());
        }
        return description;
    } catch (...) {
        return {};
    }
}

} // namespace kelvara
