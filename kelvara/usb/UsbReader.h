// The maker's USB reader USB_V626. Its transport and protocol are not built
// yet: until they are, Connect never finds this reader and every operation
// fails, so the reader manager moves on to the other readers.
#pragma once

#include <cstdint>

namespace kelvara {

class UsbReader {
public:
    // 0: no reader (always, for now); 1 no card; 2 ready; 100 card unusable.
    int Connect() { return 0; }
    bool IsConnected() const { return false; }
    // 1 on success (the reader manager accepts nothing else).
    int ReadBlock(int, int, int, std::uint8_t *) { return 0; }
    bool WriteBlock(int, int, int, const std::uint8_t *) { return false; }
    bool CardLock() { return false; }
    bool CardExit() { return false; }
    // Fills `text` (at least 51 bytes) with the reader's version text.
    bool GetVersion(char *) { return false; }
};

} // namespace kelvara
