// UsbChannel: the lowest layer of the USB reader back-end. It finds and
// opens the maker's USB reader and carries frames to and from it through
// five transfer requests, without looking inside them. Which requests to
// make, and when to close and reopen, is UsbReader's business.
//
// One implementation per OS: on Windows the reader's driver, found through
// the Setup API as device interface member 0 of GUID_DEVINTERFACE_CARD_READER
// and driven with DeviceIoControl; on Linux, which has no driver for the
// reader, the same requests travel over the Unix-domain socket named by the
// environment variable WQN_USB_READER (see UsbSocketWire.h).
//
// Every operation runs on the caller's thread and blocks until the request
// completed; nothing here retries, shows a message or throws. Results are
// Windows error codes on both systems (usb_error below).
#pragma once

#include <cstdint>

namespace kelvara {

// The driver's requests: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n,
// METHOD_BUFFERED, FILE_ANY_ACCESS).
namespace usb_request {
inline constexpr std::uint32_t kReceiveLegacy = 0x222000;
inline constexpr std::uint32_t kSendLegacy = 0x222004;
inline constexpr std::uint32_t kReceive = 0x222008;
inline constexpr std::uint32_t kSend = 0x22200C;
inline constexpr std::uint32_t kRecover = 0x222010; // once after every failed request
} // namespace usb_request

// The results the channel gives besides 0 (success).
namespace usb_error {
inline constexpr std::uint32_t kInvalidHandle = 6; // no device open
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kGenFailure = 31; // the reader failed the request
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kBufferOverflow = 111; // a legacy request moved no bytes
inline constexpr std::uint32_t kSemTimeout = 121; // no answer in time
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kNoMoreItems = 259; // no reader plugged in
inline constexpr std::uint32_t kDeviceNotConnected = 1167; // the reader went away
} // namespace usb_error

// True when this system needs the legacy request pair (Windows 98 only).
bool UsbNeedsLegacyTransfers();

class UsbChannel {
public:
    // How long the Linux transport waits for each answer; the Windows
    // driver keeps its own time-outs and ignores this.
    static constexpr int kDefaultAnswerTimeoutMs = 3000;

    explicit UsbChannel(int answerTimeoutMs = kDefaultAnswerTimeoutMs)
        : answerTimeoutMs_(answerTimeoutMs)
    {
    }
    // The owning UsbReader closes the device; the channel closes it too if
    // it is still open, so no handle outlives its owner.
    ~UsbChannel() { Close(); }
    UsbChannel(const UsbChannel &) = delete;
    UsbChannel &operator=(const UsbChannel &) = delete;

    // Finds and opens the reader: 0 when open, otherwise the error code
    // (usb_error::kNoMoreItems when no reader is plugged in). Does not
    // close a device already open: call Close first.
    std::uint32_t Open();
    // Closes the device if open; otherwise does nothing.
    void Close();
    bool IsOpen() const;

    // One request each. `frame` is the input and `reply` the output buffer,
    // both at least `length` bytes; a send delivers the first `length` bytes
    // of frame as one frame, a receive places the reader's next reply in
    // the first `length` bytes of reply. 0 on success, else the error code;
    // the legacy pair gives usb_error::kBufferOverflow for a request that
    // moved no bytes. After a failed request one recovery request follows
    // with the same buffers and lengths, its own outcome ignored.
    std::uint32_t SendLegacy(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply);
    std::uint32_t ReceiveLegacy(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply);
    std::uint32_t Send(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply);
    std::uint32_t Receive(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply);

private:
    std::uint32_t Transfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply);

    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle; // HANDLE, or the socket's descriptor
    int answerTimeoutMs_;
    std::uint32_t sequence_ = 0; // Linux: numbers requests so late answers are recognised
};

} // namespace kelvara
