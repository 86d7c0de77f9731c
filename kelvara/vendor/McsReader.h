// The MCS-C reader, driven through its vendor's library. The adapter is not
// built yet: until it is, Connect never finds this reader.
#pragma once

#include <cstdint>

namespace kelvara {

class McsReader {
public:
    int Connect() { return 0; }  // 0 no reader, 1 no card, 2 ready
    bool IsConnected() const { return false; }
    bool ReadBlock(int, int, int, std::uint8_t *) { return false; }
    bool WriteBlock(int, int, int, const std::uint8_t *) { return false; }
};

} // namespace kelvara
