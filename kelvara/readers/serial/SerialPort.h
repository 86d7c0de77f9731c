// SerialPort: the byte channel over a COM port on which the serial reader's
// protocol runs. It opens a named port with a fixed line discipline,
// remembers the settings of the last good open so the protocol can reopen
// the port after a time-out, writes blocks, reads what has already arrived
// without waiting, and flushes both directions. One implementation per OS
// (platform/posix: termios; platform/win32: the Win32 comm API).
#pragma once

#include "kelvara/readers/serial/LineTime.h"
#include "kelvara/readers/serial/ReplyWait.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvara {

// Win32 meanings of the line settings (DCB Parity and StopBits codes).
namespace line {
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOneAndHalfStopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;
} // namespace line

// Results of OpenPort.
namespace open_result {
inline constexpr int kOpened = 1; // open and configured
inline constexpr int kNotConfigured = 0; // opened, refused the settings; closed again
inline constexpr int kNotOpened = -1; // missing, in use or not accessible
} // namespace open_result

inline constexpr std::uint32_t kSerialQueueSize = 1024; // largest write and read

// The device a port name opens. Linux: "comN" (any case) is the path in
// environment variable WQN_COMN if set, else /dev/ttyS<N-1>; any other name
// is used as a path. Windows: the name followed by ":".
std::string SerialDevicePath(std::string_view name);

class SerialPort : public ReplyChannel {
public:
    SerialPort() = default;
    ~SerialPort() override; // closes the port if open
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Opens `name` (e.g. "com1") at `baudRate` with the Win32-coded byte
    // size, parity and stop bits. Blocks only for the OS open. Returns
    // open_result::k...: 1 open and configured (name and settings are then
    // remembered), 0 opened but not configurable (closed again), -1 not
    // opened. Does not close a port already held: call ClosePort first.
    // On Linux the port is also locked against other cooperating processes
    // (flock), standing in for the exclusive open of Windows.
    int OpenPort(std::string_view name, std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t parity,
                 std::uint8_t stopBits);

    // Closes the port if held. 1 when nothing was held or it closed; 0 when
    // the OS refused (the handle stays held).
    int ClosePort();

    bool IsOpen() const { return handle_ != kNoHandle; }

    // Writes `length` bytes synchronously and returns once they are out on
    // the line: the driver has drained them and their line time at the
    // port's settings has passed since the write began (behind any bytes
    // still going out), so a reply's time-out never runs while the host is
    // still sending. 0 without writing when length exceeds 1024 or no port
    // is open; otherwise the write's success.
    int WriteBytes(const std::uint8_t *buffer, std::uint32_t length);

    // Reads the bytes the driver already holds, at most 1024 (and at most
    // `room`), without waiting. 1 with `count` set (0 when nothing was
    // queued); 0 when the port's state cannot be read or the read failed.
    int ReadAvailable(std::uint8_t *buffer, std::uint32_t &count);
    bool ReadAvailable(std::uint8_t *buffer, std::uint32_t &count, std::uint32_t room) override;

    // Discards everything pending in both directions, including bytes that
    // arrive while the driver's queues are purged.
    void Flush();

    // Blocks until received bytes are waiting or `timeoutMs` passed.
    void WaitForInput(int timeoutMs) override;

    // ClosePort, then OpenPort with the remembered name and settings.
    void Reopen() override;

    // The name and settings of the last successful OpenPort.
    const std::string &PortName() const { return name_; }
    std::uint32_t BaudRate() const { return baudRate_; }
    std::uint8_t ByteSize() const { return byteSize_; }
    std::uint8_t Parity() const { return parity_; }
    std::uint8_t StopBits() const { return stopBits_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle; // file descriptor or HANDLE
    std::string name_;
    std::uint32_t baudRate_ = 0;
    std::uint8_t byteSize_ = 0;
    std::uint8_t parity_ = 0;
    std::uint8_t stopBits_ = 0;
    TransmitTimeline transmit_;
};

} // namespace kelvara
