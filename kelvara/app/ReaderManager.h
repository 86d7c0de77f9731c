// The single road from the library to a card: finds which reader is attached
// (the stored reader mode first, then a fixed order), records the winner in
// the settings, and passes page operations and reader commands to it with a
// bounded number of attempts. The four back-ends are owned by value; after
// Connect the manager speaks only to the one that answered, through
// ReaderBackEnd.
#pragma once

#include "kelvara/card/PageDevice.h"
#include "kelvara/readers/ReaderBackEnd.h"
#include "kelvara/readers/serial/SerialReader.h"
#include "kelvara/readers/usb/UsbReader.h"
#include "kelvara/readers/vendor/Gc481Reader.h"
#include "kelvara/readers/vendor/McsReader.h"
#include "kelvara/services/Clock.h"

#include <string>

namespace kelvara {

namespace reader_mode {
inline constexpr int kMcs = 0;
inline constexpr int kSerial = 1;
inline constexpr int kGc481 = 2;
inline constexpr int kUsb = 3;
} // namespace reader_mode

namespace connect_result {
inline constexpr int kNoReader = 0;
inline constexpr int kNoCard = 1;
inline constexpr int kReady = 2;
inline constexpr int kCardUnusable = 100; // USB reader only
} // namespace connect_result

class ReaderManager final : public PageDevice {
public:
    explicit ReaderManager(Clock &clock = SystemClock());
    ReaderManager(const ReaderManager &) = delete;
    ReaderManager &operator=(const ReaderManager &) = delete;

    // Searches for a reader while the connection notice tells the user what
    // is tried. Blocks for as long as the back-ends scan. Returns 0 (no
    // reader), 1 (reader, no card), 2 (ready) or 100 (USB card unusable);
    // any non-zero code selects that back-end and is stored as PortMode.
    // With a reader given for the run (ReaderOverrides.h) only that reader
    // is tried and PortMode is left as stored.
    int Connect();

    // Connects, then while the reader has no ready card asks it again every
    // kPollMs until `timeoutMs` has passed (counted from when the reader
    // answered; finding it takes as long as the search). A reader that stops
    // answering is searched for once more. 0 card present (an unusable USB
    // card counts: using it says why), 1 timed out, -1 no reader. Shows the
    // connection notice while searching, never a message box.
    int WaitForCard(int timeoutMs);

    // Whole or partial page transfers through the selected back-end: up to
    // three attempts, 50 ms apart except on the USB reader. Transfers that
    // leave the page fail before any reader traffic; length 0 succeeds at
    // once.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // The reader's lock and exit commands (serial and USB readers only).
    bool CardLock();
    bool CardExit();

    // The USB reader's version text; empty for every other reader or on failure.
    std::string GetVersion();

    int Mode() const { return mode_; }

private:
    static constexpr int kAttempts = 3;
    static constexpr int kPauseMs = 50;
    // A status request of the serial reader takes a few milliseconds at
    // 115200 bit/s; five a second notice a card at once and keep the line
    // mostly idle.
    static constexpr int kPollMs = 200;

    // The back-end of a reader mode; null for a mode no reader has.
    ReaderBackEnd *BackEnd(int mode);
    // The selected back-end when it is connected, else null.
    ReaderBackEnd *Active();
    int TryMode(int mode);
    int Found(int mode, int result);
    // Up to kAttempts tries of `operation`, pumping messages before each and
    // pausing after a failed one when `pause` is set.
    template <class Operation>
    bool Repeat(Operation operation, bool pause);

    // Passes the back-ends' search texts to the connection notice.
    class NoticeText final : public SearchNotice {
    public:
        void Tell(std::string_view text) override;
    };

    Clock *clock_;
    NoticeText notice_;
    // No operation reads the mode before the first Connect; -1 selects no back-end.
    int mode_ = -1;
    // Constructed in this order and destroyed in reverse (MCS-C first).
    SerialReader serial_;
    UsbReader usb_;
    Gc481Reader gc481_;
    McsReader mcs_;
};

} // namespace kelvara
