// McsReader: the back-end of the MCS-C reader (reader mode 0, the default),
// another vendor's reader on a COM port, driven through that vendor's
// library (MCS_SR.DLL; libmcs_sr.so on Linux) loaded from the directory of
// the host program's executable. The library keeps the open port itself.
//
// The reader manager owns one McsReader by value and calls ReadBlock /
// WriteBlock while mode 0 is active and IsConnected() is true. Every
// operation runs on the caller's thread and blocks for as long as the
// vendor's functions do; none shows a message or throws. The reader has no
// lock, exit or version command.
#pragma once

#include "kelvara/card/PageCrc.h"
#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/readers/protocol/LineSpeeds.h"
#include "kelvara/services/DynamicLibrary.h"

#include <cstdint>
#include <string>

namespace kelvara {

// The call contract of the MCS-C library's functions.
namespace mcs {
using InitComm = std::int16_t(WQN_VENDOR_CALL *)(std::uint8_t port, std::uint32_t baud);
using ExitComm = std::int16_t(WQN_VENDOR_CALL *)();
using AutoTest = std::int16_t(WQN_VENDOR_CALL *)(std::uint8_t *type);
using OpenCard = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t type);
using Led = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t state);
using CloseCard = std::int16_t(WQN_VENDOR_CALL *)();
using BundleWrite = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t address, std::int32_t length,
                                                    const std::uint8_t *buffer);
using BundleRead = std::int16_t(WQN_VENDOR_CALL *)(std::int32_t address, std::int32_t length, std::uint8_t *buffer);

inline constexpr std::uint8_t kCardType = 0x33; // '3': the memory card
inline constexpr std::int16_t kNoCard = 48; // '0' from MCS_AutoTest
inline constexpr std::int16_t kNoCardOther = 49; // '1' from MCS_AutoTest
inline constexpr std::int32_t kLedBusy = 2; // before a transfer
inline constexpr std::int32_t kLedIdle = 1; // after it
} // namespace mcs

// Where the MCS-C library is loaded from: the executable's directory and
// the library's file name.
std::string McsLibraryPath();

class McsReader final : public ReaderBackEnd {
public:
    // `library`: the path to load; empty (the default) for McsLibraryPath(),
    // worked out at every Connect (tests pass a simulated library's path).
    explicit McsReader(std::string library = {});
    ~McsReader() override; // Close
    McsReader(const McsReader &) = delete;
    McsReader &operator=(const McsReader &) = delete;

    // Loads the library and looks for the reader on the stored ComPortID,
    // then COM1, then COM2, each at the stored speed first and then from
    // 115200 down to 14400 bit/s (the notice names each scanned port and
    // speed). Returns 2 reader and card ready, 1 reader without a usable
    // card, 0 no reader (library unloaded again). On 1 or 2 the port stays
    // open, IsConnected() is true, and ComPortID / BaudRateIndex hold the
    // port and speed found.
    int Connect() override;

    bool IsConnected() const override { return connected_ != 0; }

    // Reads `length` bytes at card address page x 264 + offset, between the
    // card-open and LED calls the reader needs (byte 0 of the buffer is
    // cleared first). Refuses pages outside 0-2047, offsets outside 0-263,
    // negative lengths and transfers past the end of the page; length 0
    // succeeds at once.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;

    // Writes, reads the same bytes back and checks the page checksum of
    // what came back: true only for a write the library accepted whose
    // read-back succeeded and carries a valid checksum in bytes 260-263.
    // The read-back, LED and close-card calls run even after a failed write.
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // Exits the port and frees the library if loaded; clears connected.
    void Close();

private:
    bool OpenAtSpeed(int port);

    std::string libraryOverride_;
    PageCrc crc_;
    int connected_ = 0;
    DynamicLibrary library_;
    mcs::InitComm initComm_ = nullptr;
    mcs::ExitComm exitComm_ = nullptr;
    mcs::AutoTest autoTest_ = nullptr;
    mcs::OpenCard openCard_ = nullptr;
    mcs::Led led_ = nullptr;
    mcs::CloseCard closeCard_ = nullptr;
    mcs::BundleWrite bundleWrite_ = nullptr;
    mcs::BundleRead bundleRead_ = nullptr;
};

} // namespace kelvara
