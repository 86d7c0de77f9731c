// The serial reader's connection search and page commands.
#include "kelvara/readers/serial/SerialReader.h"

#include "kelvara/card/CardLayout.h"
#include "kelvara/readers/protocol/FrameTrace.h"
#include "kelvara/services/MessagePump.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/SerialAdapters.h"
#include "kelvara/services/Settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace kelvara {
namespace {

constexpr int kNegotiationAttempts = 7;
constexpr int kSettleDelayMs = 200; // after reopening at a new speed
constexpr int kRecoveryDelayMs = 1000; // after a refused or garbled reply
// A line out of step must stay quiet this long before the next command.
// Waiting for that ends, however much noise arrives, after kSettleLimitMs or,
// on a slow line, after twice the quiet time and the line time of the
// longest reply the failed command could have been sent late.
constexpr int kSettleQuietMs = kReplySilenceMs;
constexpr int kSettleLimitMs = 500;
constexpr int kMaxPage = card::kPageCount - 1;
using card::kPageSize;

bool Answered(int code) { return code >= 0; }

// Stored settings are 32-bit numbers read as unsigned bytes.
std::uint8_t StoredByte(std::string_view name, int fallback)
{
    return static_cast<std::uint8_t>(ReadSettingInt(name, fallback));
}

bool PageArgumentsValid(int page, int offset, int length)
{
    // Negative pages and offsets would wrap in the frame's 16-bit fields;
    // they are refused as well.
    return page >= 0 && page <= kMaxPage && offset >= 0 && offset < kPageSize && length >= 0;
}

} // namespace

SerialReader::SerialReader(Clock &clock)
    : clock_(&clock)
{
}

int SerialReader::OpenAt(std::string_view port, std::uint8_t speedIndex)
{
    port_.ClosePort();
    const std::uint32_t baud = kLineSpeeds[std::min(speedIndex, kHighestSpeedIndex)];
    const int opened = port_.OpenPort(port, baud, 8, line::kNoParity, line::kOneStopBit);
    trace::SerialOpen(port, baud, opened);
    return opened;
}

void SerialReader::SettleLine()
{
    // Replies carry no sequence number: a reply that comes after the host
    // gave up (or the rest of a garbled one) would be taken for the next
    // command's, and for a write, a late "WRTE" confirmation for the frame
    // makes the frame's own confirmation look like the data's. So after a
    // reply went wrong, what the reader still sends is let pass and thrown
    // away before the next command; a flush alone misses bytes still on
    // their way. At another port or speed such bytes cannot be heard.
    if (!outOfStep_) {
        return;
    }
    outOfStep_ = false;
    if (port_.IsOpen() && port_.PortName() == outOfStepPort_ && port_.BaudRate() == outOfStepBaud_) {
        const std::int64_t replyMs =
            (LineTimeUs(outOfStepReplyBytes_, port_.BaudRate(), port_.ByteSize(), port_.Parity(), port_.StopBits()) +
             999) /
            1000;
        const auto limitMs = int(std::max<std::int64_t>(kSettleLimitMs, 2 * kSettleQuietMs + replyMs));
        AwaitQuietLine(port_, *clock_, outOfStepSinceMs_, kSettleQuietMs, limitMs);
    }
}

bool SerialReader::SendCommand(const CommandFrame &frame)
{
    SettleLine();
    port_.Flush();
    trace::SerialCommand(frame);
    return port_.WriteBytes(frame.data(), std::uint32_t(frame.size())) != 0;
}

int SerialReader::Await(const CommandFrame &sent, ReplyAssembler &reply)
{
    const int code = AwaitReply(port_, *clock_, sent, reply);
    trace::SerialReply(sent, reply.Bytes(), reply.FullLength() - 2, code);
    if (code < 0 && !reply.IsWellFormed(sent)) {
        outOfStep_ = true;
        outOfStepPort_ = port_.PortName();
        outOfStepBaud_ = port_.BaudRate();
        outOfStepSinceMs_ = clock_->NowMs();
        outOfStepReplyBytes_ = reply.FullLength();
    }
    return code;
}

int SerialReader::Exchange(const CommandFrame &frame, ReplyAssembler &reply)
{
    if (!SendCommand(frame)) {
        return reply::kFailed;
    }
    return Await(frame, reply);
}

void SerialReader::Delay(int ms)
{
    // Waits until more than `ms` milliseconds have passed.
    const std::int64_t start = clock_->NowMs();
    for (;;) {
        const std::int64_t elapsed = clock_->NowMs() - start;
        if (elapsed > ms) {
            return;
        }
        clock_->SleepMs(int(ms - elapsed + 1));
    }
}

int SerialReader::QueryStatus()
{
    ReplyAssembler answer(5);
    return Exchange(StatFrame(), answer);
}

int SerialReader::SetSpeed(std::uint8_t speedIndex)
{
    ReplyAssembler answer(5);
    return Exchange(BaudRateFrame(speedIndex), answer);
}

int SerialReader::ProbePort(std::string_view port, std::uint32_t &baud)
{
    const std::uint8_t stored = StoredByte(setting::kBaudRateIndex, setting::kBaudRateIndexDefault);
    std::vector<std::uint8_t> order;
    if (stored <= kHighestSpeedIndex) {
        order.push_back(stored);
    }
    for (int idx = kHighestSpeedIndex; idx >= 0; --idx) {
        if (idx != stored) {
            order.push_back(std::uint8_t(idx));
        }
    }
    int result = kProbeSilent;
    for (const std::uint8_t idx : order) {
        const int opened = OpenAt(port, idx);
        if (opened == open_result::kNotOpened) {
            result = kProbeNotOpened;
            break;
        }
        const int code = opened == open_result::kOpened ? QueryStatus() : reply::kFailed;
        if (Answered(code)) {
            baud = kLineSpeeds[idx];
            result = code;
            break;
        }
    }
    port_.ClosePort();
    connected_ = false;
    return result;
}

int SerialReader::ScanSpeeds(std::string_view port)
{
    for (std::uint8_t idx = 1; idx <= kHighestSpeedIndex; ++idx) {
        if (OpenAt(port, idx) != open_result::kOpened) {
            continue;
        }
        const int code = QueryStatus();
        if (Answered(code)) {
            RecordFound(setting::kBaudRateIndex, idx);
            return 1;
        }
        if (code == reply::kFailed) {
            Delay(kRecoveryDelayMs);
        }
    }
    port_.ClosePort();
    return 0;
}

int SerialReader::Negotiate(std::string_view port, std::uint8_t maxIndex)
{
    // A stored maximum outside the speed table (the settings dialog writes
    // -1 when nothing is selected) aims for the fastest speed, and the index
    // never steps below 0: the remaining attempts stay at 4800 bit/s. So no
    // attempt can select a speed outside the table.
    std::uint8_t idx = std::min(maxIndex, kHighestSpeedIndex);
    for (int attempt = 0; attempt < kNegotiationAttempts; ++attempt) {
        PumpMessages();
        const int opened = OpenAt(port, 0);
        if (opened == open_result::kNotOpened) {
            return 0;
        }
        if (opened == open_result::kOpened) {
            if (idx == 0) {
                RecordFound(setting::kBaudRateIndex, 0);
                return 1;
            }
            const int code = SetSpeed(idx);
            if (!Answered(code)) {
                return ScanSpeeds(port);
            }
            if (OpenAt(port, idx) == open_result::kOpened) {
                Delay(kSettleDelayMs);
                const int status = QueryStatus();
                if (Answered(status)) {
                    RecordFound(setting::kBaudRateIndex, idx);
                    return 1;
                }
                if (status == reply::kFailed) {
                    Delay(kRecoveryDelayMs);
                }
            } else {
                Delay(kRecoveryDelayMs);
            }
        }
        if (idx > 0) {
            --idx;
        }
    }
    port_.ClosePort();
    return 0;
}

int SerialReader::ConnectAtPort(std::string_view port)
{
    const std::uint8_t maxIndex = StoredByte(setting::kBaudRateMax, setting::kBaudRateMaxDefault);
    const std::uint8_t idx = StoredByte(setting::kBaudRateIndex, setting::kBaudRateIndexDefault);

    if (idx >= 1 && idx <= kHighestSpeedIndex) {
        if (OpenAt(port, idx) == open_result::kOpened && Answered(QueryStatus())) {
            return 1;
        }
    }
    return Negotiate(port, maxIndex);
}

std::vector<std::string> SerialReader::Candidates()
{
    const std::string given = PortOverride();
    if (!given.empty()) {
        return {given};
    }
    std::vector<std::string> ports = {ReadSettingText(setting::kComPortName, setting::kComPortNameDefault), "com1",
                                      "com2"};
    // Asked afresh each time: an adapter plugged in again has a new name.
    // Built-in ports keep theirs, and asking every port would talk to modems.
    for (const SerialAdapter &adapter : ListSerialAdapters()) {
        ports.push_back(adapter.port);
    }
    // Windows names "com1" and "COM1" alike; no Linux system has device
    // paths that differ in case alone.
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        return text;
    };
    std::vector<std::string> unique;
    std::vector<std::string> devices;
    for (std::string &port : ports) {
        std::string device = lower(SerialDevicePath(port));
        if (std::find(devices.begin(), devices.end(), device) == devices.end()) {
            devices.push_back(std::move(device));
            unique.push_back(std::move(port));
        }
    }
    return unique;
}

int SerialReader::Connect()
{
    for (const std::string &candidate : Candidates()) {
        if (ConnectAtPort(candidate) != 1) {
            continue;
        }
        const int status = QueryStatus();
        int result;
        if (status == reply::kDone) {
            result = serial_connect::kReady;
        } else if (status == reply::kNoCardQ || status == reply::kNoCardS) {
            result = serial_connect::kNoCard;
        } else {
            port_.ClosePort();
            continue;
        }
        connected_ = true;
        RecordFound(setting::kComPortName, candidate);
        return result;
    }
    connected_ = false;
    return serial_connect::kNoReader;
}

bool SerialReader::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
{
    if (buffer == nullptr) {
        return false;
    }
    buffer[0] = 0;
    // The whole reply (5 + length + 2 bytes) must fit the reply buffer.
    if (!PageArgumentsValid(page, offset, length) || length > kMaxReadLength) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    ReplyAssembler answer(5 + std::size_t(length));
    if (Exchange(ReadFrame(page, offset, length), answer) != reply::kDone) {
        return false;
    }
    const auto data = answer.Data();
    std::memcpy(buffer, data.data(), std::size_t(length));
    return true;
}

bool SerialReader::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    // The data go out in one write of at most 1024 bytes; a longer block
    // is refused before the reader is told to expect it.
    if (!PageArgumentsValid(page, offset, length) || std::uint32_t(length) > kSerialQueueSize) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    if (buffer == nullptr) {
        return false;
    }
    const CommandFrame frame = WriteFrame(page, offset, length);
    ReplyAssembler first(5);
    if (Exchange(frame, first) != reply::kDone) {
        return false;
    }
    const CheckBytes check = ComputeCheckBytes(std::span(buffer, std::size_t(length)));
    // The data and their check bytes leave in one write where they fit: each
    // write waits until its bytes are off the line, so a second write for
    // the check bytes would leave the line idle between the two.
    std::array<std::uint8_t, kSerialQueueSize + 2> phase;
    std::memcpy(phase.data(), buffer, std::size_t(length));
    phase[std::size_t(length)] = check.sum;
    phase[std::size_t(length) + 1] = check.xorValue;
    const auto total = std::uint32_t(length) + 2;
    const std::uint32_t chunk = std::min(total, kSerialQueueSize);
    port_.Flush();
    trace::SerialData(std::span(buffer, std::size_t(length)), check.sum, check.xorValue);
    if (!port_.WriteBytes(phase.data(), chunk) ||
        (total > chunk && !port_.WriteBytes(phase.data() + chunk, total - chunk))) {
        return false;
    }
    ReplyAssembler second(5);
    return Await(frame, second) == reply::kDone;
}

int SerialReader::PollCard()
{
    if (!connected_ || !port_.IsOpen()) {
        return serial_connect::kNoReader;
    }
    const int status = QueryStatus();
    if (status == reply::kDone) {
        return serial_connect::kReady;
    }
    return status == reply::kNoCardQ || status == reply::kNoCardS ? serial_connect::kNoCard : serial_connect::kNoReader;
}

bool SerialReader::CardLock()
{
    ReplyAssembler answer(5);
    return Exchange(LockFrame(), answer) == reply::kDone;
}

bool SerialReader::CardExit()
{
    ReplyAssembler answer(5);
    return Exchange(ExitFrame(), answer) == reply::kDone;
}

int SerialReader::ResetPorts()
{
    for (const char *name : {"com1", "com2"}) {
        port_.ClosePort();
        port_.OpenPort(name, 115200, 8, line::kNoParity, line::kOneStopBit);
    }
    port_.ClosePort();
    return 0;
}

} // namespace kelvara
