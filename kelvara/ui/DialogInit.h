// Dialog initialisation data: the list items a dialog resource carries
// (resource type 240), which a dialog applies when it starts. Each entry is
// a control id (16 bits), a message (16 bits), a byte count (32 bits) and
// that many bytes, packed without padding, little-endian; a control id of 0
// ends the data.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kelvara {

struct DialogInitEntry {
    int control = 0;
    int message = 0;
    std::string text; // the item text, up to its terminator
};

// The entries up to the terminating 0 or the end of the data; an entry
// that runs past the end is dropped with everything after it.
std::vector<DialogInitEntry> ParseDialogInit(std::span<const std::uint8_t> data);

} // namespace kelvara
