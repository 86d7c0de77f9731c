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
};

constexpr IntSetting kIntSettings[] = {
    {setting::kPortMode, setting::kPortModeDefault},
    {setting::kComPortID, setting::kComPortIDDefault},
    {setting::kBaudRateIndex, setting::kBaudRateIndexDefault},
    {setting::kBaudRateMax, setting::kBaudRateMaxDefault},
};

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

bool IsIntSetting(const std::string &name)
{
    if (name == setting::kWaitMS)
        return true;
    for (const IntSetting &s : kIntSettings) {
        if (name == s.name)
            return true;
    }
    return false;
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
    set->add_option("name", a->name, "PortMode, ComPortID, BaudRateIndex, BaudRateMax, ComPortName or WaitMS")
        ->required();
    set->add_option("value", a->value, "the value (a number, except for ComPortName)")->required();
    set->callback([&step, a] {
        if (a->name == setting::kComPortName) {
            step = [a](Session &) { return WriteSettingText(a->name, a->value) ? kOk : kFailed; };
            return;
        }
        if (!IsIntSetting(a->name))
            throw CLI::ValidationError("settings set", "unknown setting '" + a->name + "'");
        char *end = nullptr;
        const long v = std::strtol(a->value.c_str(), &end, 0);
        if (a->value.empty() || *end != '\0' || v < -2147483647L || v > 2147483647L)
            throw CLI::ValidationError("settings set", "'" + a->value + "' is not a number");
        a->number = static_cast<int>(v);
        step = [a](Session &) { return WriteSettingInt(a->name, a->number) ? kOk : kFailed; };
    });
    return *settings;
}

} // namespace kelvara::tool
