// The reader search and the attempts around every reader operation.
#include "kelvara/app/ReaderManager.h"

#include "kelvara/card/CardLayout.h"
#include "kelvara/services/MessagePump.h"
#include "kelvara/services/PromptTexts.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/Settings.h"
#include "kelvara/ui/NoticeDialog.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kelvara {

void ReaderManager::NoticeText::Tell(std::string_view text) { SetNoticeText(text); }

ReaderManager::ReaderManager(Clock &clock)
    : clock_(&clock)
{
    for (ReaderBackEnd *reader : {BackEnd(reader_mode::kMcs), BackEnd(reader_mode::kSerial),
                                  BackEnd(reader_mode::kGc481), BackEnd(reader_mode::kUsb)})
        reader->SetSearchNotice(&notice_);
}

ReaderBackEnd *ReaderManager::BackEnd(int mode)
{
    switch (mode) {
    case reader_mode::kMcs:
        return &mcs_;
    case reader_mode::kSerial:
        return &serial_;
    case reader_mode::kGc481:
        return &gc481_;
    case reader_mode::kUsb:
        return &usb_;
    default:
        return nullptr;
    }
}

ReaderBackEnd *ReaderManager::Active()
{
    ReaderBackEnd *reader = BackEnd(mode_);
    return reader != nullptr && reader->IsConnected() ? reader : nullptr;
}

int ReaderManager::Found(int mode, int result)
{
    mode_ = mode;
    HideNotice();
    RecordFound(setting::kPortMode, mode);
    return result;
}

int ReaderManager::TryMode(int mode)
{
    switch (mode) {
    case reader_mode::kGc481:
        SetNoticeText(prompt::kConnectingGc481);
        // The GC481 library opens the port itself: let go of any port the
        // serial search may have left in a state it cannot open.
        serial_.ResetPorts();
        break;
    case reader_mode::kMcs:
        SetNoticeText(prompt::kConnectingMcs);
        break;
    default:
        break;
    }
    return BackEnd(mode)->Connect();
}

int ReaderManager::Connect()
{
    ShowNotice();
    SetNoticeText(prompt::kConnecting);
    if (const int given = ReaderModeOverride(); given != reader_override::kNone) {
        // Only the reader asked for; an unknown name selects none.
        mode_ = given;
        const int r = BackEnd(given) != nullptr ? TryMode(given) : 0;
        if (r != 0)
            return Found(given, r);
        HideNotice();
        return 0;
    }
    mode_ = ReadSettingInt(setting::kPortMode, setting::kPortModeDefault);

    // The stored reader first, without the texts of the search below.
    int r = 0;
    if (ReaderBackEnd *stored = BackEnd(mode_)) {
        if (mode_ == reader_mode::kGc481)
            serial_.ResetPorts();
        r = stored->Connect();
    }
    if (r != 0)
        return Found(mode_, r);

    // Then the maker's readers, and the vendors' readers with the stored
    // one's partner first (a stored vendor reader was tried above).
    SetNoticeText(prompt::kConnectingWqn);
    std::vector<int> order = {reader_mode::kUsb, reader_mode::kSerial};
    if (mode_ != reader_mode::kGc481)
        order.push_back(reader_mode::kGc481);
    if (mode_ != reader_mode::kMcs)
        order.push_back(reader_mode::kMcs);
    for (const int mode : order) {
        if ((r = TryMode(mode)) != 0)
            return Found(mode, r);
    }
    HideNotice();
    return 0;
}

int ReaderManager::WaitForCard(int timeoutMs)
{
    int r = Connect();
    const std::int64_t deadline = clock_->NowMs() + std::max(timeoutMs, 0);
    for (;;) {
        if (r == connect_result::kNoReader)
            return -1;
        if (r != connect_result::kNoCard)
            return 0;
        const std::int64_t left = deadline - clock_->NowMs();
        if (left <= 0)
            return 1;
        clock_->SleepMs(int(std::min<std::int64_t>(kPollMs, left)));
        PumpMessages();
        ReaderBackEnd *reader = Active();
        r = reader != nullptr ? reader->PollCard() : connect_result::kNoReader;
        if (r == connect_result::kNoReader)
            r = Connect(); // unplugged, or plugged in again under another name
    }
}

template <class Operation>
bool ReaderManager::Repeat(Operation operation, bool pause)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        PumpMessages();
        if (operation())
            return true;
        if (pause)
            clock_->SleepMs(kPauseMs);
    }
    return false;
}

bool ReaderManager::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
{
    // A reader would otherwise be asked to touch bytes of another page, or
    // the caller's buffer overrun.
    if (!card::TransferInPage(page, offset, length) || (length != 0 && buffer == nullptr))
        return false;
    if (length == 0)
        return true;
    buffer[0] = 0;
    ReaderBackEnd *reader = Active();
    return reader != nullptr &&
        Repeat([&] { return reader->ReadBlock(page, offset, length, buffer); }, reader->PausesBetweenAttempts());
}

bool ReaderManager::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    if (!card::TransferInPage(page, offset, length) || (length != 0 && buffer == nullptr))
        return false;
    if (length == 0)
        return true;
    ReaderBackEnd *reader = Active();
    return reader != nullptr &&
        Repeat([&] { return reader->WriteBlock(page, offset, length, buffer); }, reader->PausesBetweenAttempts());
}

bool ReaderManager::CardLock()
{
    ReaderBackEnd *reader = Active();
    return reader != nullptr && reader->HasCardCommands() && Repeat([&] { return reader->CardLock(); }, false);
}

bool ReaderManager::CardExit()
{
    ReaderBackEnd *reader = Active();
    return reader != nullptr && reader->HasCardCommands() && Repeat([&] { return reader->CardExit(); }, false);
}

std::string ReaderManager::GetVersion()
{
    ReaderBackEnd *reader = Active();
    if (reader == nullptr || !reader->HasVersion())
        return {};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        PumpMessages();
        std::array<char, 64> text{};
        if (reader->GetVersion(text.data())) {
            text.back() = '\0';
            return text.data();
        }
    }
    return {};
}

} // namespace kelvara
