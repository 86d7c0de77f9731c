// The application object and its connection prompts.
#include "kelvara/app/CardApp.h"

#include "kelvara/services/PromptTexts.h"

#include <new>

namespace kelvara {

CardApp &CardApp::Instance()
{
    static CardApp app;
    return app;
}

// The file system asks the user through the library's message boxes and
// reaches pages through whichever reader manager exists: wired once here,
// rebound when the manager comes and goes.
CardApp::CardApp() { fileSystem_.SetMessageBox(&SystemMessageBox()); }

CardApp::~CardApp()
{
    fileSystem_.BindReader(nullptr);
    reader_.reset();
    if (progress_ != nullptr) {
        progress_->HideNotice();
        progress_.reset();
    }
}

ReaderManager *CardApp::EnsureReader()
{
    if (!reader_) {
        reader_.reset(new (std::nothrow) ReaderManager());
        fileSystem_.BindReader(reader_.get());
    }
    return reader_.get();
}

int CardApp::WaitForCard(int timeoutMs)
{
    ReaderManager *reader = EnsureReader();
    return reader != nullptr ? reader->WaitForCard(timeoutMs) : -1;
}

bool CardApp::CheckReader()
{
    MessageBoxService &box = SystemMessageBox();
    if (EnsureReader() == nullptr) {
        box.Show(prompt::kOutOfMemory, kNoticeTitle, mb::kOk | mb::kIconError | mb::kSystemModal);
        return false;
    }
    for (;;) {
        const int r = reader_->Connect();
        if (reader_->Mode() == reader_mode::kUsb && r == connect_result::kCardUnusable) {
            box.Show(prompt::kCardReversed, kNoticeTitle, mb::kOk | mb::kIconInformation | mb::kSystemModal);
            return false;
        }
        if (r == connect_result::kReady)
            return true;
        if (r == connect_result::kNoCard) {
            if (box.Show(prompt::kInsertCard, kNoticeTitle, mb::kOkCancel | mb::kIconInformation | mb::kSystemModal) !=
                mb::kIdOk)
                return false;
            continue;
        }
        if (box.Show(prompt::kConnectFailed, kNoticeTitle, mb::kRetryCancel | mb::kIconQuestion | mb::kSystemModal) !=
            mb::kIdRetry)
            return false;
    }
}

void CardApp::ReleaseReader()
{
    if (!reader_)
        return;
    std::uint8_t scratch[16];
    reader_->ReadBlock(card::kPageCount - 1, 0, sizeof scratch, scratch);
    fileSystem_.BindReader(nullptr);
    reader_.reset();
    // The next connection may find another card: the index in memory no
    // longer stands for it.
    indexInMemory_ = false;
}

void CardApp::ShowProgress(const std::string &text)
{
    if (progress_ == nullptr) {
        progress_ = std::make_unique<NoticeDialog>(NoticeKind::Progress);
        progress_->ShowNotice(MainWindow());
    }
    progress_->SetNoticeText(text);
}

void CardApp::SetProgressText(const std::string &text)
{
    if (progress_ != nullptr)
        progress_->SetNoticeText(text);
}

void CardApp::HideProgress()
{
    if (progress_ != nullptr && progress_->HideNotice())
        progress_.reset();
}

} // namespace kelvara
