// UsbReader: the USB reader's connection, card check and exchanges.
#include "kelvara/readers/usb/UsbReader.h"

#include "kelvara/card/CardLayout.h"
#include "kelvara/readers/usb/UsbFrames.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/Settings.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace kelvara {
namespace {

using card::kPageCount;
using card::kPageSize;
constexpr int kTestPage = kPageCount - 1;
constexpr int kUnusableCard = 100;

bool Refused(int page, int offset, int length)
{
    // A length above one page is refused: no caller asks for more, and the
    // reply and assembly buffers are sized for one page.
    return page < 0 || page >= kPageCount || offset < 0 || offset >= kPageSize || length < 0 || length > kPageSize;
}

bool AllEqual(const std::uint8_t *page, std::uint8_t value)
{
    const std::uint8_t *crc = page + card::kCrcOffset;
    return page[1] == value && crc[0] == value && crc[1] == value && crc[2] == value && crc[3] == value;
}

} // namespace

UsbReader::UsbReader(Transfers transfers, int answerTimeoutMs)
    : legacyMode_(transfers == Transfers::Legacy || (transfers == Transfers::System && UsbNeedsLegacyTransfers())),
      channel_(answerTimeoutMs)
{
}

UsbReader::~UsbReader() { channel_.Close(); }

bool UsbReader::SendCommand(const CommandFrame &frame, bool standard)
{
    frame_.fill(0);
    std::copy(frame.begin(), frame.end(), frame_.begin());
    const auto length = std::uint32_t(frame.size());
    const std::uint32_t r = legacyMode_ && !standard ? channel_.SendLegacy(length, frame_.data(), reply_.data())
                                                     : channel_.Send(length, frame_.data(), reply_.data());
    return r == 0;
}

bool UsbReader::ReceiveReply(std::size_t count, bool standard)
{
    reply_.fill(0);
    const auto length = std::uint32_t(count);
    const std::uint32_t r = legacyMode_ && !standard ? channel_.ReceiveLegacy(length, frame_.data(), reply_.data())
                                                     : channel_.Receive(length, frame_.data(), reply_.data());
    return r == 0;
}

bool UsbReader::SendData(const std::uint8_t *bytes, std::size_t count)
{
    const auto length = std::uint32_t(count);
    const std::uint32_t r =
        legacyMode_ ? channel_.SendLegacy(length, bytes, reply_.data()) : channel_.Send(length, bytes, reply_.data());
    return r == 0;
}

bool UsbReader::OpenDevice()
{
    // WaitMS is kept for the settings dialog's sake; nothing here waits by it.
    if (ReadSettingInt(setting::kWaitMS, -1) < 0)
        RecordFound(setting::kWaitMS, setting::kWaitMSDefault);
    return channel_.Open() == 0;
}

int UsbReader::QueryStatus()
{
    if (!SendCommand(usb_frame::Stat(legacyMode_)) || !ReceiveReply(7))
        return -1;
    return usb_frame::DecodeStatus(reply_.data(), 5);
}

int UsbReader::Reconnect()
{
    channel_.Close();
    if (!OpenDevice()) {
        channel_.Close();
        return -1;
    }
    const int s = QueryStatus();
    if (s < 0) {
        channel_.Close();
        return -1;
    }
    return s;
}

int UsbReader::Connect()
{
    const int s = Reconnect();
    int result = 0;
    if (s == 0) {
        result = CheckCard(2);
    } else if (s == 1 || s == 2) {
        result = 1;
    } else if (s >= 3) {
        channel_.Close();
    }
    connected_ = result != 0 ? 1 : 0;
    return result;
}

int UsbReader::Probe()
{
    const int s = Reconnect();
    channel_.Close();
    connected_ = 0;
    return s;
}

int UsbReader::PollCard()
{
    if (connected_ == 0)
        return 0;
    const int s = QueryStatus();
    if (s == 0)
        return 2;
    return s == 1 || s == 2 ? 1 : 0;
}

int UsbReader::CheckCard(int result)
{
    // The last page is the test page. A failed read leaves the first bytes
    // 2B 2B 33, which never look blank.
    std::array<std::uint8_t, kPageSize> page{};
    page[0] = 0x2B;
    page[1] = 0x2B;
    page[2] = 0x33;
    ReadBlock(kTestPage, 0, kPageSize, page.data());
    for (const std::uint8_t blank : {std::uint8_t(0x00), std::uint8_t(0xFF)}) {
        if (!AllEqual(page.data(), blank))
            continue;
        page.fill(0x2B);
        WriteBlock(kTestPage, 0, kPageSize, page.data());
        ReadBlock(kTestPage, 0, kPageSize, page.data());
        if (AllEqual(page.data(), blank))
            result = kUnusableCard;
    }
    return result;
}

bool UsbReader::ReadBlock(int page, int offset, int length, std::uint8_t *out)
{
    if (Refused(page, offset, length))
        return false;
    if (length == 0)
        return true;
    if (out == nullptr)
        return false;
    return (legacyMode_ ? ReadLegacy(page, offset, length, out) : ReadStandard(page, offset, length, out)) == 1;
}

int UsbReader::ReadStandard(int page, int offset, int length, std::uint8_t *out)
{
    const auto n = std::size_t(length);
    if (!SendCommand(usb_frame::Read(false, page, offset, length)) || !ReceiveReply(n + 7))
        return 0;
    if (usb_frame::DecodeStatus(reply_.data(), n + 5) != 0)
        return 0;
    std::memcpy(out, reply_.data() + 5, n);
    return 1;
}

int UsbReader::ReadLegacy(int page, int offset, int length, std::uint8_t *out)
{
    constexpr int kPiece = usb_frame::kLegacyReadPiece;
    if (!SendCommand(usb_frame::Read(true, page, offset, length)))
        return 0;
    Buffer assembly{};
    const auto first = std::size_t(std::min(length, kPiece));
    if (!ReceiveReply(first + 7) || usb_frame::CheckReplySum(reply_.data(), first + 5) != 0)
        return 0;
    if (length < kPiece) {
        std::memcpy(out, reply_.data() + 5, first);
        return 1;
    }
    std::memcpy(assembly.data(), reply_.data() + 5, kPiece);
    const int full = length / kPiece;
    const int rest = length % kPiece;
    const auto fetch = [&](int piece, int pieceLength) {
        const auto n = std::size_t(pieceLength);
        frame_.fill(0);
        const CommandFrame part = usb_frame::Part(piece, pieceLength);
        std::copy(part.begin(), part.end(), frame_.begin());
        // The frame buffer is the send's output buffer as well.
        if (channel_.SendLegacy(std::uint32_t(part.size()), frame_.data(), frame_.data()) != 0)
            return false;
        if (!ReceiveReply(n + 7) || usb_frame::CheckReplySum(reply_.data(), n + 5) != 0)
            return false;
        std::memcpy(assembly.data() + std::size_t(kPiece) * std::size_t(piece), reply_.data() + 5, n);
        return true;
    };
    for (int piece = 1; piece < full; ++piece) {
        if (!fetch(piece, kPiece))
            return 0;
    }
    if (rest > 0 && !fetch(full, rest))
        return 0;
    std::memcpy(out, assembly.data(), std::size_t(length));
    return 1;
}

bool UsbReader::WriteBlock(int page, int offset, int length, const std::uint8_t *data)
{
    if (Refused(page, offset, length))
        return false;
    if (length == 0)
        return true;
    if (data == nullptr)
        return false;
    return (legacyMode_ ? WriteLegacy(page, offset, length, data) : WriteStandard(page, offset, length, data)) == 1;
}

int UsbReader::WriteStandard(int page, int offset, int length, const std::uint8_t *data)
{
    const auto n = std::size_t(length);
    if (!SendCommand(usb_frame::Write(false, page, offset, length)) || !ReceiveReply(7) ||
        usb_frame::DecodeStatus(reply_.data(), 5) != 0)
        return 0;
    const CheckBytes check = ComputeCheckBytes(std::span(data, n));
    std::memcpy(data_.data(), data, n);
    data_[n] = check.sum;
    data_[n + 1] = check.xorValue;
    if (!SendData(data_.data(), n + 2) || !ReceiveReply(7))
        return 0;
    return usb_frame::DecodeStatus(reply_.data(), 5) == 0 ? 1 : 0;
}

int UsbReader::WriteLegacy(int page, int offset, int length, const std::uint8_t *data)
{
    constexpr int kPiece = usb_frame::kLegacyWritePiece;
    if (!SendCommand(usb_frame::Write(true, page, offset, length)) || !ReceiveReply(7) ||
        usb_frame::DecodeStatus(reply_.data(), 5) != 0)
        return 0;
    const int full = length / kPiece;
    const auto rest = std::size_t(length % kPiece);
    for (int piece = 0; piece < full; ++piece) {
        std::memcpy(data_.data(), data + std::size_t(piece) * kPiece, kPiece);
        if (!SendData(data_.data(), kPiece))
            return 0;
    }
    const CheckBytes check = ComputeCheckBytes(std::span(data, std::size_t(length)));
    std::memcpy(data_.data(), data + std::size_t(full) * kPiece, rest);
    data_[rest] = check.sum;
    data_[rest + 1] = check.xorValue;
    if (!SendData(data_.data(), rest + 2) || !ReceiveReply(7))
        return 0;
    return usb_frame::DecodeStatus(reply_.data(), 5) == 0 ? 1 : 0;
}

bool UsbReader::GetVersion(char *text)
{
    if (text == nullptr)
        return false;
    if (!SendCommand(usb_frame::Version(legacyMode_)) || !ReceiveReply(usb_frame::kVersionReplySize))
        return false;
    if (reply_[4] != 'P')
        return false;
    const std::uint8_t *start = reply_.data() + usb_frame::kVersionTextOffset;
    const auto end = std::find(start, start + usb_frame::kVersionTextMax, std::uint8_t(0));
    const auto n = std::size_t(end - start);
    std::memcpy(text, start, n);
    text[n] = '\0';
    return true;
}

bool UsbReader::SimpleCommand(const CommandFrame &frame)
{
    if (!SendCommand(frame, true) || !ReceiveReply(7, true))
        return false;
    return usb_frame::DecodeStatus(reply_.data(), 5) == 0;
}

bool UsbReader::CardLock() { return SimpleCommand(usb_frame::Lock()); }
bool UsbReader::CardExit() { return SimpleCommand(usb_frame::Exit()); }

} // namespace kelvara
