// The reader's serial port. One implementation per OS (posix/, win32/).
#pragma once

#include "sampora/Settings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sampora {

// The device COM<port> opens: on Linux the path in $WQN_COM<port>, else
// /dev/ttyS<port-1>; on Windows "COM<port>".
std::string PortDeviceName(unsigned port);

class ComPort {
public:
    ComPort();
    ~ComPort();
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;

    // Opens COM<line.port> for exclusive use with reads that never block and
    // applies the line settings (speed, data bits, parity, stop bits, binary
    // transfer). Blocks for no longer than the open itself. False when the
    // port cannot be opened (errno, or GetLastError on Windows, then tells
    // why); the port number is checked by the caller.
    bool Open(const LineSettings &line);

    // Closes the port; harmless when it is not open.
    void Close();

    bool IsOpen() const;

    // Writes all bytes. Returns the number written, or -1 on failure.
    int Write(const std::uint8_t *bytes, std::size_t count);

    // Takes at most `maximum` bytes the driver already holds. Returns the
    // number read, 0 when none wait, -1 on failure. Never blocks.
    int Read(std::uint8_t *buffer, std::size_t maximum);

    // Blocks until input may be waiting or `milliseconds` have passed,
    // whichever comes first. Used between polls of an exchange.
    void WaitForInput(int milliseconds);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace sampora
