// Fuzz target: the INI text of the Linux settings file.
//
// Input: a name (length byte, bytes), a value (length byte, bytes), then the
// file's text. The text is searched for the library's settings and the name,
// the value stored under the name, and the stored integers parsed.
//
// Properties: after a store, the name reads back as the value and every
// other setting reads as before; a second store of the same value changes
// nothing; every parsed integer prints back as itself.
#include "fuzz/FuzzInput.h"
#include "kelvara/platform/posix/IniText.h"
#include "kelvara/services/Settings.h"

#include <optional>
#include <string>

namespace {

using namespace kelvara;

constexpr std::string_view kSection = "Settings";
constexpr std::string_view kNames[] = {setting::kPortMode,    setting::kComPortID,   setting::kBaudRateIndex,
                                       setting::kBaudRateMax, setting::kComPortName, setting::kWaitMS};

bool SameNameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    const std::string name(in.Bytes(in.Byte()));
    const std::string value(in.Bytes(in.Byte()));
    const std::string text(in.Rest());

    for (std::string_view known : kNames) {
        if (const auto found = ini::Lookup(text, kSection, known)) {
            if (const auto number = ini::ParseInt(*found))
                FUZZ_CHECK(ini::ParseInt(std::to_string(*number)) == number);
        }
    }

    const std::optional<std::string> stored = ini::Store(text, kSection, name, value);
    if (!stored)
        return 0; // refused: the pair would not read back from this file
    FUZZ_CHECK(ini::Lookup(*stored, kSection, name) == value);
    for (std::string_view known : kNames) {
        if (!SameNameIgnoringCase(known, name))
            FUZZ_CHECK(ini::Lookup(*stored, kSection, known) == ini::Lookup(text, kSection, known));
    }
    FUZZ_CHECK(ini::Store(*stored, kSection, name, value) == stored);
    return 0;
}
