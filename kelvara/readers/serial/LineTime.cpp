// Character times on a serial line.
#include "kelvara/readers/serial/LineTime.h"

#include "kelvara/readers/serial/SerialPort.h"

namespace kelvara {

std::int64_t LineTimeUs(std::uint64_t count, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                        std::uint8_t stopBits)
{
    if (baudRate == 0) {
        return 0;
    }
    // In half bits, so that one and a half stop bits (Win32 code 1) count exactly.
    std::uint64_t halfBits = 2 * (1 + std::uint64_t(byteSize) + (parity == line::kNoParity ? 0 : 1));
    halfBits += stopBits == line::kOneStopBit ? 2 : stopBits == line::kOneAndHalfStopBits ? 3 : 4;
    const std::uint64_t numerator = count * halfBits * 1000000;
    const std::uint64_t denominator = 2 * std::uint64_t(baudRate);
    return std::int64_t((numerator + denominator - 1) / denominator);
}

} // namespace kelvara
