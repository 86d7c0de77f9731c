// How long characters take on a serial line, and when the bytes handed to a
// port have left it. Pure arithmetic shared by both SerialPort
// implementations.
#pragma once

#include <cstdint>

namespace kelvara {

// Microseconds `count` characters take at `baudRate` bits per second with the
// Win32-coded byte size, parity and stop bits: a start bit, the data bits, a
// parity bit unless parity is none, and one, one and a half or two stop bits.
// Rounded up; 0 when the speed is 0.
std::int64_t LineTimeUs(std::uint64_t count, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                        std::uint8_t stopBits);

// When a port's transmitter falls silent. Many drivers report a write, and
// even a drain, as done while the bytes are still in a buffer (USB serial
// adapters, pseudo-terminals, Wine); a reply cannot come before the bytes are
// out, so the port waits for their line time itself.
class TransmitTimeline {
public:
    // `lineTimeUs` more of transmission handed over at `nowUs`, queued behind
    // what is still going out. Returns when the line will be idle again.
    std::int64_t Queue(std::int64_t nowUs, std::int64_t lineTimeUs)
    {
        idleAtUs_ = (idleAtUs_ > nowUs ? idleAtUs_ : nowUs) + lineTimeUs;
        return idleAtUs_;
    }
    // What was queued is gone: purged, or the port was closed.
    void Clear() { idleAtUs_ = 0; }

private:
    std::int64_t idleAtUs_ = 0;
};

} // namespace kelvara
