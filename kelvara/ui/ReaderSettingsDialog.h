// The reader-settings dialog "设置读卡器接口": which reader is attached, the
// highest speed and the COM port, kept in the stored settings. This is the
// dialog's model - its lists, selections and enabled states, and what OK
// stores - which the Windows dialog window, a caller's handler or the kelvara
// tool show. The window lives in the platform layer.
#pragma once

#include "kelvara/ui/SettingsDialogView.h"

#include <array>

namespace kelvara {

class ReaderSettingsDialog final : public SettingsDialogModel {
public:
    static constexpr std::array<const char *, 4> kReaders = {"MCS-C", "WQN", "GC481", "USB_V626"};
    // The line speeds in bits per second, as the speed list shows them.
    static std::span<const char *const> SpeedItems();
    static constexpr std::array<const char *, 6> kPorts = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};

    // Reads PortMode, BaudRateIndex and ComPortID: the reader list shows the
    // stored reader mode, the speed and port lists the stored indexes, and
    // both are disabled for the USB reader.
    void InitDialog() override;
    std::span<const char *const> Items(int list) const override;
    int Selection(int list) const override;
    bool Enabled(int list) const override;
    void Select(int list, int index) override;
    // The speed and port lists follow the selected reader: disabled for the
    // USB reader, enabled for the others, unchanged with no reader selected.
    void ReaderListClosedUp() override;
    // Stores the speed as BaudRateMax and BaudRateIndex, the reader as
    // PortMode, the port as ComPortID, in this order; -1 for a list without
    // a selection.
    void Ok() override;
    void Cancel() override {}

    // PortMode as read when the dialog started; -1 before.
    int Mode() const { return mode_; }

private:
    static bool ValidList(int list) { return list >= 0 && list < settings_list::kCount; }

    int mode_ = -1;
    std::array<int, settings_list::kCount> selection_ = {-1, -1, -1};
    std::array<bool, settings_list::kCount> enabled_ = {true, true, true};
};

// Runs the dialog modally over `parent` (null: none) and lets it go; the
// result does not matter to either caller.
void RunReaderSettingsDialog(WindowHandle parent);

} // namespace kelvara
