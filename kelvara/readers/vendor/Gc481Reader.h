// Gc481Reader: the back-end of the GC481 reader (reader mode 2), another
// vendor's reader on a COM port, driven entirely through that vendor's
// library (Gcic32.dll; libgcic32.so on Linux), loaded when the reader is
// tried and freed when it is closed.
//
// The reader manager owns one Gc481Reader by value, resets the serial ports
// before every Connect, and calls ReadBlock / WriteBlock while mode 2 is
// active and IsConnected() is true. Every operation runs on the caller's
// thread and blocks for as long as the vendor's functions do; none shows a
// message or throws. The reader has no lock, exit or version command.
#pragma once

#include "kelvara/card/PageCrc.h"
#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/readers/protocol/LineSpeeds.h"
#include "kelvara/services/DynamicLibrary.h"

#include <array>
#include <cstdint>
#include <string>

namespace kelvara {

// The call contract of the GC481 library's functions.
namespace gc481 {
using InitCommBaud = std::int32_t(WQN_VENDOR_CALL *)(std::int16_t port, std::int32_t baud);
using ExitComm = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t handle);
using InitType = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t handle, std::int32_t type);
using Status = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t handle);
using DirectRead = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t handle, std::int16_t page, std::int16_t offset,
                                                   std::int16_t length, std::uint8_t *buffer);
using DirectWrite = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t handle, std::int16_t page, std::int16_t offset,
                                                    std::int16_t length, const std::uint8_t *buffer);

inline constexpr std::int32_t kOpenFailed = -1; // IC_InitComm_Baud: port not opened
inline constexpr std::int32_t kCardType = 0x41; // IC_InitType: the memory card
inline constexpr std::int16_t kNoCard = -133; // IC_Status: reader, no usable card
inline constexpr std::int16_t kNoCardOther = -134; // IC_Status: reader, no usable card
} // namespace gc481

class Gc481Reader final : public ReaderBackEnd {
public:
    // `library`: what to load; the platform's name of Gcic32.dll by default,
    // loaded as an installed library (DynamicLibrary::LoadInstalled); tests
    // pass the path of a simulated library.
    explicit Gc481Reader(std::string library = vendor_library::kGc481Name);
    ~Gc481Reader() override; // Close
    Gc481Reader(const Gc481Reader &) = delete;
    Gc481Reader &operator=(const Gc481Reader &) = delete;

    // Loads the library and looks for the reader on the stored ComPortID,
    // then COM1, then COM2, each at the stored speed first and then from
    // 115200 down to 14400 bit/s (the notice names each scanned port and
    // speed). Returns 2 reader and card ready, 1 reader without a usable
    // card, 0 no reader (library unloaded again). On 1 or 2 the port stays
    // open, IsConnected() is true, and ComPortID / BaudRateIndex hold the
    // port and speed found.
    int Connect() override;

    bool IsConnected() const override { return connected_ != 0; }

    // Reads `length` bytes at `offset` of `page` (byte 0 of the buffer is
    // cleared first). True when the library read them. Refuses pages
    // outside 0-2047, offsets outside 0-263, negative lengths and
    // transfers past the end of the page; length 0 succeeds at once.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;

    // Writes, reads the same bytes back and checks the page checksum of
    // what came back: true only for a write the library accepted whose
    // read-back carries a valid checksum in bytes 260-263 (so whole pages
    // with their checksum in place). Same argument checks as ReadBlock.
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // Exits the port if one is open, frees the library, clears connected.
    void Close();

private:
    bool OpenAtSpeed(int port);

    std::string libraryName_;
    PageCrc crc_;
    int connected_ = 0;
    std::int32_t handle_ = 0;
    DynamicLibrary library_;
    gc481::InitCommBaud initCommBaud_ = nullptr;
    gc481::ExitComm exitComm_ = nullptr;
    gc481::Status status_ = nullptr;
    void *down_ = nullptr; // looked up, never called
    gc481::InitType initType_ = nullptr;
    void *whatIsType_ = nullptr; // looked up, never called
    gc481::DirectRead directRead_ = nullptr;
    gc481::DirectWrite directWrite_ = nullptr;
};

} // namespace kelvara
