// The reader given for one run through the environment.
#include "kelvara/services/ReaderOverrides.h"

#include "kelvara/services/Settings.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace kelvara {
namespace {

// By PortMode.
constexpr std::array<std::string_view, 4> kModeNames = {"mcs", "serial", "gc481", "usb"};

std::atomic<int> g_probes{0};

std::string Variable(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

} // namespace

int ReaderModeByName(std::string_view name)
{
    for (std::size_t mode = 0; mode < kModeNames.size(); ++mode) {
        if (name == kModeNames[mode] || (name.size() == 1 && name[0] == char('0' + mode)))
            return int(mode);
    }
    return -1;
}

std::string_view ReaderModeName(int mode)
{
    return mode >= 0 && std::size_t(mode) < kModeNames.size() ? kModeNames[std::size_t(mode)] : std::string_view();
}

int ReaderModeOverride()
{
    const std::string reader = Variable(kReaderVariable);
    if (!reader.empty()) {
        const int mode = ReaderModeByName(reader);
        return mode >= 0 ? mode : reader_override::kUnknown;
    }
    // A port is the serial reader's.
    return PortOverride().empty() ? reader_override::kNone : ReaderModeByName("serial");
}

std::string PortOverride() { return Variable(kPortVariable); }

bool ReaderOverridden() { return ReaderModeOverride() != reader_override::kNone; }

ProbeScope::ProbeScope() { ++g_probes; }
ProbeScope::~ProbeScope() { --g_probes; }

bool RecordFound(std::string_view name, int value)
{
    return g_probes.load() == 0 && !ReaderOverridden() && WriteSettingInt(name, value);
}

bool RecordFound(std::string_view name, std::string_view value)
{
    return g_probes.load() == 0 && !ReaderOverridden() && WriteSettingText(name, value);
}

} // namespace kelvara
