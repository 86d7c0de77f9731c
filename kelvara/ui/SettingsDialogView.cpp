// The settings dialog with the caller's handler in front of the platform's
// window. The handler sees the model through the public C structure; every
// rule (enabled states, what OK stores) stays in the model.
#include "kelvara/ui/SettingsDialogView.h"

#include "kelvara.h"
#include "kelvara/services/HandlerSlot.h"
#include "kelvara/services/MessageBox.h"

namespace kelvara {
namespace {

HandlerSlot<SettingsDialogHandler> g_handler;

void Refresh(KelvaraSettingsDialog &dialog, const SettingsDialogModel &model)
{
    dialog.reader = model.Selection(settings_list::kReader);
    dialog.speed = model.Selection(settings_list::kSpeed);
    dialog.port = model.Selection(settings_list::kPort);
    dialog.listsEnabled = model.Enabled(settings_list::kSpeed) ? 1 : 0;
}

void TakeSelections(const KelvaraSettingsDialog &dialog, SettingsDialogModel &model)
{
    model.Select(settings_list::kReader, dialog.reader);
    model.Select(settings_list::kSpeed, dialog.speed);
    model.Select(settings_list::kPort, dialog.port);
}

// Called by the caller's handler: nothing may escape into its C code.
void ReaderListClosedUp(KelvaraSettingsDialog *dialog) noexcept
{
    if (dialog == nullptr || dialog->reserved == nullptr)
        return;
    try {
        auto &model = *static_cast<SettingsDialogModel *>(dialog->reserved);
        TakeSelections(*dialog, model);
        model.ReaderListClosedUp();
        Refresh(*dialog, model);
    } catch (...) {
    }
}

int RunWithHandler(SettingsDialogHandler handler, void *context, SettingsDialogModel &model)
{
    model.InitDialog();
    KelvaraSettingsDialog dialog{};
    dialog.readerListClosedUp = &ReaderListClosedUp;
    const auto readers = model.Items(settings_list::kReader);
    const auto speeds = model.Items(settings_list::kSpeed);
    const auto ports = model.Items(settings_list::kPort);
    dialog.readerItems = readers.data();
    dialog.readerCount = static_cast<int>(readers.size());
    dialog.speedItems = speeds.data();
    dialog.speedCount = static_cast<int>(speeds.size());
    dialog.portItems = ports.data();
    dialog.portCount = static_cast<int>(ports.size());
    dialog.reserved = &model;
    Refresh(dialog, model);

    if (handler(context, &dialog) != mb::kIdOk) {
        model.Cancel();
        return mb::kIdCancel;
    }
    TakeSelections(dialog, model);
    model.Ok();
    return mb::kIdOk;
}

} // namespace

int RunSettingsDialog(SettingsDialogModel &model, WindowHandle parent)
{
    if (const auto routed = g_handler.Get(); routed.handler != nullptr)
        return RunWithHandler(routed.handler, routed.context, model);
    return RunPlatformSettingsDialog(model, parent);
}

void SetSettingsDialogHandler(SettingsDialogHandler handler, void *ctx) { g_handler.Set(handler, ctx); }

} // namespace kelvara
