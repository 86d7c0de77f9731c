// The single road from the library to a card: finds which reader is attached
// (the stored reader mode first, then a fixed order), records the winner in
// the settings, and dispatches page operations and reader commands to it with
// a bounded number of attempts.
//
// The back-ends are concrete classes owned by value. The manager is a
// template over them only so tests can put scripted readers in their place;
// the library uses `ReaderManager` below.
#pragma once

#include "kelvara/services/Clock.h"
#include "kelvara/services/MessagePump.h"
#include "kelvara/services/Notice.h"
#include "kelvara/services/PageDevice.h"
#include "kelvara/services/Settings.h"
#include "kelvara/serial/SerialReader.h"
#include "kelvara/usb/UsbReader.h"
#include "kelvara/vendor/Gc481Reader.h"
#include "kelvara/vendor/McsReader.h"

#include <array>
#include <cstdint>
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

template <class Serial, class Usb, class Gc481, class Mcs>
class BasicReaderManager final : public PageDevice {
public:
    explicit BasicReaderManager(Clock &clock = SystemClock())
        : clock_(&clock)
    {
    }
    BasicReaderManager(const BasicReaderManager &) = delete;
    BasicReaderManager &operator=(const BasicReaderManager &) = delete;

    // Searches for a reader while the connection notice tells the user what
    // is tried. Blocks for as long as the back-ends scan. Returns 0 (no
    // reader), 1 (reader, no card), 2 (ready) or 100 (USB card unusable);
    // any non-zero code selects that back-end and is stored as PortMode.
    int Connect();

    // Whole or partial page transfers through the selected back-end: up to
    // three attempts, 50 ms apart except on the USB reader. Out-of-range
    // arguments fail before any reader traffic; length 0 succeeds at once.
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override;
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override;

    // The reader's lock and exit commands (serial and USB readers only).
    bool CardLock() { return Command(&Serial::CardLock, &Usb::CardLock); }
    bool CardExit() { return Command(&Serial::CardExit, &Usb::CardExit); }

    // The USB reader's version text; empty for every other reader or on failure.
    std::string GetVersion();

    int Mode() const { return mode_; }

    Serial &SerialBackEnd() { return serial_; }
    Usb &UsbBackEnd() { return usb_; }
    Gc481 &Gc481BackEnd() { return gc481_; }
    Mcs &McsBackEnd() { return mcs_; }

private:
    static constexpr int kAttempts = 3;
    static constexpr int kPauseMs = 50;

    int Found(int mode, int result);
    static bool InRange(int page, int offset, int length, const void *buffer);
    template <class Transfer>
    bool Attempt(Transfer transfer);
    bool Command(bool (Serial::*serial)(), bool (Usb::*usb)());

    Clock *clock_;
    // No operation reads the mode before the first Connect; -1 selects no back-end.
    int mode_ = -1;
    // Constructed in this order and destroyed in reverse (MCS-C first).
    Serial serial_;
    Usb usb_;
    Gc481 gc481_;
    Mcs mcs_;
};

using ReaderManager = BasicReaderManager<SerialReader, UsbReader, Gc481Reader, McsReader>;

// --- implementation -----------------------------------------------------

template <class S, class U, class G, class M>
int BasicReaderManager<S, U, G, M>::Found(int mode, int result)
{
    mode_ = mode;
    HideNotice();
    WriteSettingInt(setting::kPortMode, mode);
    return result;
}

template <class S, class U, class G, class M>
int BasicReaderManager<S, U, G, M>::Connect()
{
    ShowNotice();
    SetNoticeText("正在连接读卡器\r\n请稍候...");
    mode_ = ReadSettingInt(setting::kPortMode, setting::kPortModeDefault);

    int r = 0;
    switch (mode_) {
    case reader_mode::kUsb:
        r = usb_.Connect();
        break;
    case reader_mode::kSerial:
        r = serial_.Connect();
        break;
    case reader_mode::kGc481:
        serial_.ResetPorts();
        r = gc481_.Connect();
        break;
    case reader_mode::kMcs:
        r = mcs_.Connect();
        break;
    default:
        break; // no preferred attempt
    }
    if (r != 0)
        return Found(mode_, r);

    SetNoticeText("正在连接Wqn读卡器\r\n请稍候...");
    if ((r = usb_.Connect()) != 0)
        return Found(reader_mode::kUsb, r);
    if ((r = serial_.Connect()) != 0)
        return Found(reader_mode::kSerial, r);

    const auto tryGc481 = [&] {
        SetNoticeText("正在连接GC481读卡器\r\n请稍候...");
        serial_.ResetPorts();
        return gc481_.Connect();
    };
    const auto tryMcs = [&] {
        SetNoticeText("正在连接MCS-C读卡器\r\n请稍候...");
        return mcs_.Connect();
    };
    if (mode_ == reader_mode::kMcs) {
        if ((r = tryGc481()) != 0)
            return Found(reader_mode::kGc481, r);
    } else if (mode_ == reader_mode::kGc481) {
        if ((r = tryMcs()) != 0)
            return Found(reader_mode::kMcs, r);
    } else {
        if ((r = tryGc481()) != 0)
            return Found(reader_mode::kGc481, r);
        if ((r = tryMcs()) != 0)
            return Found(reader_mode::kMcs, r);
    }
    HideNotice();
    return 0;
}

template <class S, class U, class G, class M>
bool BasicReaderManager<S, U, G, M>::InRange(int page, int offset, int length, const void *buffer)
{
    // Beyond the upper bounds, negative values and transfers running past the
    // end of the page are refused too: a reader would otherwise be asked to
    // touch bytes of another page, or the caller's buffer overrun.
    return page >= 0 && page < 2048 && offset >= 0 && offset < 264 && length >= 0 && offset + length <= 264 &&
        (length == 0 || buffer != nullptr);
}

template <class S, class U, class G, class M>
template <class Transfer>
bool BasicReaderManager<S, U, G, M>::Attempt(Transfer transfer)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        PumpMessages();
        if (transfer())
            return true;
        if (mode_ != reader_mode::kUsb)
            clock_->SleepMs(kPauseMs);
    }
    return false;
}

template <class S, class U, class G, class M>
bool BasicReaderManager<S, U, G, M>::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
{
    if (!InRange(page, offset, length, buffer))
        return false;
    if (length == 0)
        return true;
    buffer[0] = 0;
    switch (mode_) {
    case reader_mode::kMcs:
        return mcs_.IsConnected() && Attempt([&] { return mcs_.ReadBlock(page, offset, length, buffer); });
    case reader_mode::kSerial:
        return serial_.IsConnected() && Attempt([&] { return serial_.ReadBlock(page, offset, length, buffer); });
    case reader_mode::kGc481:
        return gc481_.IsConnected() && Attempt([&] { return gc481_.ReadBlock(page, offset, length, buffer); });
    case reader_mode::kUsb:
        return usb_.IsConnected() && Attempt([&] { return usb_.ReadBlock(page, offset, length, buffer) == 1; });
    default:
        return false;
    }
}

template <class S, class U, class G, class M>
bool BasicReaderManager<S, U, G, M>::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    if (!InRange(page, offset, length, buffer))
        return false;
    if (length == 0)
        return true;
    switch (mode_) {
    case reader_mode::kMcs:
        return mcs_.IsConnected() && Attempt([&] { return mcs_.WriteBlock(page, offset, length, buffer); });
    case reader_mode::kSerial:
        return serial_.IsConnected() && Attempt([&] { return serial_.WriteBlock(page, offset, length, buffer); });
    case reader_mode::kGc481:
        return gc481_.IsConnected() && Attempt([&] { return gc481_.WriteBlock(page, offset, length, buffer); });
    case reader_mode::kUsb:
        return usb_.IsConnected() &&
            Attempt([&] { return static_cast<bool>(usb_.WriteBlock(page, offset, length, buffer)); });
    default:
        return false;
    }
}

template <class S, class U, class G, class M>
bool BasicReaderManager<S, U, G, M>::Command(bool (S::*serial)(), bool (U::*usb)())
{
    const auto repeat = [](auto &&command) {
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            PumpMessages();
            if (command())
                return true;
        }
        return false;
    };
    if (mode_ == reader_mode::kUsb && usb_.IsConnected())
        return repeat([&] { return (usb_.*usb)(); });
    if (mode_ == reader_mode::kSerial && serial_.IsConnected())
        return repeat([&] { return (serial_.*serial)(); });
    return false;
}

template <class S, class U, class G, class M>
std::string BasicReaderManager<S, U, G, M>::GetVersion()
{
    if (mode_ != reader_mode::kUsb || !usb_.IsConnected())
        return {};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        PumpMessages();
        std::array<char, 64> text{};
        if (usb_.GetVersion(text.data())) {
            text.back() = '\0';
            return text.data();
        }
    }
    return {};
}

} // namespace kelvara
