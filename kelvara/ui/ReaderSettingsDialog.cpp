// The reader-settings dialog's model over the stored settings.
#include "kelvara/ui/ReaderSettingsDialog.h"

#include "kelvara/readers/protocol/LineSpeeds.h"
#include "kelvara/services/Settings.h"

#include <string>

namespace kelvara {
namespace {

constexpr int kUsbReader = 3; // the reader list's index is the reader mode

} // namespace

void ReaderSettingsDialog::InitDialog()
{
    mode_ = ReadSettingInt(setting::kPortMode, setting::kPortModeDefault);
    // Item 0 first, then the mode: a mode outside the list leaves none.
    Select(settings_list::kReader, 0);
    Select(settings_list::kReader, mode_);
    const bool usb = mode_ == kUsbReader;
    enabled_[settings_list::kSpeed] = !usb;
    enabled_[settings_list::kPort] = !usb;
    Select(settings_list::kSpeed, ReadSettingInt(setting::kBaudRateIndex, setting::kBaudRateIndexDefault));
    Select(settings_list::kPort, ReadSettingInt(setting::kComPortID, setting::kComPortIDDefault));
}

std::span<const char *const> ReaderSettingsDialog::SpeedItems()
{
    static const auto texts = [] {
        std::array<std::string, kLineSpeeds.size()> t;
        for (std::size_t i = 0; i < t.size(); ++i)
            t[i] = std::to_string(kLineSpeeds[i]);
        return t;
    }();
    static const auto items = [] {
        std::array<const char *, kLineSpeeds.size()> p{};
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = texts[i].c_str();
        return p;
    }();
    return items;
}

std::span<const char *const> ReaderSettingsDialog::Items(int list) const
{
    switch (list) {
    case settings_list::kReader:
        return kReaders;
    case settings_list::kSpeed:
        return SpeedItems();
    case settings_list::kPort:
        return kPorts;
    default:
        return {};
    }
}

int ReaderSettingsDialog::Selection(int list) const { return ValidList(list) ? selection_[list] : -1; }

bool ReaderSettingsDialog::Enabled(int list) const { return ValidList(list) && enabled_[list]; }

void ReaderSettingsDialog::Select(int list, int index)
{
    if (!ValidList(list))
        return;
    const int count = static_cast<int>(Items(list).size());
    selection_[list] = index >= 0 && index < count ? index : -1;
}

void ReaderSettingsDialog::ReaderListClosedUp()
{
    const int reader = selection_[settings_list::kReader];
    if (reader < 0)
        return;
    const bool enable = reader != kUsbReader;
    enabled_[settings_list::kSpeed] = enable;
    enabled_[settings_list::kPort] = enable;
}

void ReaderSettingsDialog::Ok()
{
    const int speed = selection_[settings_list::kSpeed];
    WriteSettingInt(setting::kBaudRateMax, speed);
    WriteSettingInt(setting::kBaudRateIndex, speed);
    WriteSettingInt(setting::kPortMode, selection_[settings_list::kReader]);
    WriteSettingInt(setting::kComPortID, selection_[settings_list::kPort]);
}

void RunReaderSettingsDialog(WindowHandle parent)
{
    ReaderSettingsDialog dialog;
    RunSettingsDialog(dialog, parent);
}

} // namespace kelvara
