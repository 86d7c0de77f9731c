// UsbReader: the back-end of the maker's USB reader USB_V626 (reader mode
// 3). It opens the reader through its UsbChannel, asks whether a card is
// ready, makes sure a card whose last page looks blank keeps what is
// written to it, and exchanges command frames and replies: each command is
// one send request and one receive request, the data of a write follow as
// further sends.
//
// Two transfer modes, fixed at construction: standard (every system but
// Windows 98) and legacy (Windows 98: other mnemonics, read replies of at
// most 57 data bytes continued with "PART", writes in pieces of 56). LOCK
// and EXIT always use the standard requests.
//
// The reader manager owns one UsbReader by value, calls Connect when it
// tries reader mode 3 and the other operations while mode 3 is active and
// IsConnected() is true. Every operation runs on the caller's thread and
// blocks until the channel's requests completed; the reader has no timer
// of its own, shows no message and throws nothing. Page operations,
// GetVersion, CardLock and CardExit use the device as Connect left it: on
// a closed device their requests fail and they give 0.
#pragma once

#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/readers/usb/UsbChannel.h"

#include <array>
#include <cstdint>

namespace kelvara {

class UsbReader final : public ReaderBackEnd {
public:
    enum class Transfers {
        System, // legacy exactly when the system is Windows 98
        Standard,
        Legacy,
    };

    explicit UsbReader(Transfers transfers = Transfers::System,
                       int answerTimeoutMs = UsbChannel::kDefaultAnswerTimeoutMs);
    ~UsbReader() override; // closes the device
    UsbReader(const UsbReader &) = delete;
    UsbReader &operator=(const UsbReader &) = delete;

    // Reopens the device and asks for the card: 2 card ready, 1 reader
    // without a ready card ('Q' or 'S'), 100 a ready card whose last page
    // reads blank and does not keep a test pattern written to it, 0 no
    // reader (or 'R', 'T', 'U', an unknown letter, a failed exchange). A
    // non-zero result leaves the device open and IsConnected() true; 0
    // leaves it closed and IsConnected() false. Writes WaitMS = 5000 when
    // the stored value is missing or negative.
    int Connect() override;
    bool IsConnected() const override { return connected_ != 0; }
    bool LegacyMode() const { return legacyMode_; }

    // Reads `length` bytes at `offset` of `page` into `out`: true on
    // success, false on failure (nothing of out written then). Fails without a request
    // for a page outside 0-2047, an offset outside 0-263, a negative
    // length or one above 264; length 0 gives 1 at once.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *out) override;

    // Writes `length` bytes from `data` at `offset` of `page`: true when the
    // reader confirmed the command and the data. Same checks.
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *data) override;

    // The reader's version text (at most 50 bytes and a terminating zero)
    // into `text`, which has room for 51 bytes. True when the reader
    // answered 'P'; its check bytes are not examined.
    bool HasVersion() const override { return true; }
    bool GetVersion(char *text) override;

    // LOCK and EXIT: true when the reader answered 'P' with valid check bytes.
    bool HasCardCommands() const override { return true; }
    bool CardLock() override;
    bool CardExit() override;
    bool PausesBetweenAttempts() const override { return false; }

    // One status request on the open device: 2 card ready, 1 no ready card
    // ('Q' or 'S'), 0 no answer or another letter. The blank-card test of
    // Connect is left to the Connect that uses the card.
    int PollCard() override;

    // Whether the reader answers, changing nothing: opens the device, asks
    // for the card once and closes it again. The status (0 card ready, 1 or
    // 2 no ready card, 3 or more another letter), -1 when nothing answered.
    int Probe();

private:
    static constexpr std::size_t kBufferSize = 512;
    using Buffer = std::array<std::uint8_t, kBufferSize>;

    bool OpenDevice();
    int QueryStatus();
    int Reconnect();
    int CheckCard(int result);
    // The mode's send of a command frame; `standard` forces the standard request.
    bool SendCommand(const CommandFrame &frame, bool standard = false);
    // The mode's receive of `count` bytes into the cleared reply buffer.
    bool ReceiveReply(std::size_t count, bool standard = false);
    bool SendData(const std::uint8_t *bytes, std::size_t count);
    int ReadStandard(int page, int offset, int length, std::uint8_t *out);
    int ReadLegacy(int page, int offset, int length, std::uint8_t *out);
    int WriteStandard(int page, int offset, int length, const std::uint8_t *data);
    int WriteLegacy(int page, int offset, int length, const std::uint8_t *data);
    bool SimpleCommand(const CommandFrame &frame);

    int connected_ = 0;
    bool legacyMode_;
    UsbChannel channel_;
    // The command of the current exchange followed by zeros: a receive
    // hands it to the driver as an input buffer of the reply's length.
    Buffer frame_{};
    Buffer reply_{};
    Buffer data_{}; // a write's data and check bytes
};

} // namespace kelvara
