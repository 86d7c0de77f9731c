// Reading dialog initialisation data.
#include "kelvara/ui/DialogInit.h"

#include <cstring>

namespace kelvara {
namespace {

std::uint32_t Little(std::span<const std::uint8_t> data, std::size_t at, std::size_t bytes)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        value |= std::uint32_t(data[at + i]) << (8 * i);
    return value;
}

} // namespace

std::vector<DialogInitEntry> ParseDialogInit(std::span<const std::uint8_t> data)
{
    std::vector<DialogInitEntry> entries;
    std::size_t at = 0;
    while (at + 2 <= data.size()) {
        const std::uint32_t control = Little(data, at, 2);
        if (control == 0 || at + 8 > data.size())
            break;
        const std::uint32_t message = Little(data, at + 2, 2);
        const std::uint32_t length = Little(data, at + 4, 4);
        at += 8;
        if (length > data.size() - at)
            break;
        const auto *bytes = reinterpret_cast<const char *>(data.data() + at);
        DialogInitEntry entry;
        entry.control = int(control);
        entry.message = int(message);
        entry.text.assign(bytes, ::strnlen(bytes, length));
        entries.push_back(std::move(entry));
        at += length;
    }
    return entries;
}

} // namespace kelvara
