// The library's stored reader settings: shown, set one by one, or edited
// as in the settings dialog.
#include "kelvara/services/Settings.h"
#include "tools/kelvara/SettingsEdit.h"
#include "tools/kelvara/Tool.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kelvara::tool {
namespace {

struct IntSetting {
    std::string_view name;
    int fallback;
    int lowest, highest; // the values the settings dialog offers
    const char *meaning;
};

constexpr IntSetting kIntSettings[] = {
    {setting::kPortMode, setting::kPortModeDefault, 0, 3, "the reader: 0 MCS-C, 1 WQN, 2 GC481, 3 USB_V626"},
    {setting::kComPortID, setting::kComPortIDDefault, 0, 5, "the port: 0 COM1 to 5 COM6"},
    {setting::kBaudRateIndex, setting::kBaudRateIndexDefault, 0, 6,
     "the speed: 0 4800, 1 9600, 2 14400, 3 19200, 4 38400, 5 57600, 6 115200 bps"},
    {setting::kBaudRateMax, setting::kBaudRateMaxDefault, 0, 6, "the highest speed, as BaudRateIndex"},
};
// WaitMS is kept for the dialog's sake; a wait of up to ten minutes is a wait.
constexpr IntSetting kWaitSetting{setting::kWaitMS, setting::kWaitMSDefault, 0, 600000, "milliseconds"};

int Show(Session &session)
{
    const std::string comPort(ReadSettingText(setting::kComPortName, setting::kComPortNameDefault));
    const int waitMs = ReadSettingInt(setting::kWaitMS, setting::kWaitMSDefault);
    if (session.options().json) {
        nlohmann::json values;
        for (const IntSetting &s : kIntSettings)
            values[std::string(s.name)] = ReadSettingInt(s.name, s.fallback);
        values[std::string(setting::kComPortName)] = comPort;
        values[std::string(setting::kWaitMS)] = waitMs;
        session.PrintJson({{"location", SettingsLocation()}, {"settings", values}});
        return kOk;
    }
    std::printf("settings: %s\n", SettingsLocation().c_str());
    for (const IntSetting &s : kIntSettings)
        std::printf("%s=%d\n", std::string(s.name).c_str(), ReadSettingInt(s.name, s.fallback));
    std::printf("%s=%s\n", std::string(setting::kComPortName).c_str(), comPort.c_str());
    std::printf("%s=%d\n", std::string(setting::kWaitMS).c_str(), waitMs);
    return kOk;
}

const IntSetting *FindIntSetting(const std::string &name)
{
    if (name == kWaitSetting.name)
        return &kWaitSetting;
    for (const IntSetting &s : kIntSettings) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

} // namespace

CLI::App &AddSettingsCommands(CLI::App &app, Step &step)
{
    CLI::App *settings = app.add_subcommand("settings", "the reader settings the library keeps (default: show)");
    settings->group("Settings");
    settings->require_subcommand(0, 1);
    // Without a subcommand the settings are shown.
    settings->callback([&step] {
        if (!step)
            step = Show;
    });

    settings->add_subcommand("show", "show the stored settings and where they live")->callback([&step] {
        step = Show;
    });

    settings->add_subcommand("edit", "choose the reader, its highest speed and its port, as in the settings dialog")
        ->callback([&step] { step = [](Session &) { return EditSettings(stdin, stdout); }; });

    struct SetArgs {
        std::string name, value;
        int number = 0;
    };
    auto a = std::make_shared<SetArgs>();
    CLI::App *set = settings->add_subcommand("set", "store one setting");
    set->add_option("name", a->name,
                    "PortMode (0-3), ComPortID (0-5), BaudRateIndex (0-6), BaudRateMax (0-6), ComPortName or "
                    "WaitMS (0-600000)")
        ->required();
    set->add_option("value", a->value, "the value (a number, except for ComPortName)")->required();
    set->callback([&step, a] {
        if (a->name == setting::kComPortName) {
            if (a->value.empty())
                throw CLI::ValidationError("settings set", "ComPortName is a port name such as com1, or a device path");
            step = [a](Session &) { return WriteSettingText(a->name, a->value) ? kOk : kFailed; };
            return;
        }
        const IntSetting *setting = FindIntSetting(a->name);
        if (setting == nullptr)
            throw CLI::ValidationError("settings set", "unknown setting '" + a->name + "'");
        char *end = nullptr;
        const long v = std::strtol(a->value.c_str(), &end, 10);
        if (a->value.empty() || *end != '\0')
            throw CLI::ValidationError("settings set", "'" + a->value + "' is not a number");
        if (v < setting->lowest || v > setting->highest)
            throw CLI::ValidationError("settings set",
                                       a->name + " is " + std::to_string(setting->lowest) + " to " +
                                           std::to_string(setting->highest) + " (" + setting->meaning + "), not " +
                                           a->value);
        a->number = static_cast<int>(v);
        step = [a](Session &) { return WriteSettingInt(a->name, a->number) ? kOk : kFailed; };
    });
    return *settings;
}

} // namespace kelvara::tool
