// The notice's state and the connection notice of the process.
#include "kelvara/ui/NoticeDialog.h"

#include "kelvara/services/CodePageText.h"

namespace kelvara {

NoticeDialog::NoticeDialog(NoticeKind kind, NoticeWindows &windows)
    : kind_(kind),
      windows_(&windows)
{
}

NoticeDialog::~NoticeDialog()
{
    if (IsShown())
        HideNotice();
}

bool NoticeDialog::ShowNotice(WindowHandle parent)
{
    if (IsShown())
        return true; // one window per notice
    owner_ = windows_->FindOwner(parent);
    if (owner_ != nullptr && windows_->IsEnabled(owner_)) {
        windows_->Enable(owner_, false);
        ownerDisabled_ = true;
    }
    window_ = windows_->Create(kind_, owner_);
    if (window_ == nullptr) {
        if (ownerDisabled_)
            windows_->Enable(owner_, true);
        ownerDisabled_ = false;
        return false;
    }
    if (!text_.empty())
        PushText();
    return true;
}

bool NoticeDialog::HideNotice()
{
    if (ownerDisabled_ && owner_ != nullptr)
        windows_->Enable(owner_, true);
    ownerDisabled_ = false;
    text_.clear();
    if (window_ == nullptr)
        return false;
    const bool destroyed = windows_->Destroy(window_);
    window_ = nullptr;
    return destroyed;
}

void NoticeDialog::SetNoticeText(const char *text) { SetNoticeText(std::string_view(text != nullptr ? text : "")); }

void NoticeDialog::SetNoticeText(std::string_view text)
{
    text_.assign(text);
    if (IsShown())
        PushText();
}

void NoticeDialog::PushText()
{
    windows_->SetText(window_, kind_ == NoticeKind::Progress ? Utf8FromCodePage(text_) : text_);
}

NoticeDialog &ConnectionNotice()
{
    static NoticeDialog notice(NoticeKind::Connection);
    return notice;
}

void ShowNotice() { ConnectionNotice().ShowNotice(HostMainWindow()); }
void SetNoticeText(std::string_view text) { ConnectionNotice().SetNoticeText(text); }
void HideNotice() { ConnectionNotice().HideNotice(); }

} // namespace kelvara
