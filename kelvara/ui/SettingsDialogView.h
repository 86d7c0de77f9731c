// The reader-settings dialog's window (dialog template 138): a reader list,
// a speed list and a port list, OK and Cancel. The window only shows and
// reports; what the lists hold, what is selected and enabled, and what OK
// stores belong to the dialog's model (kelvara/host), which the window
// reaches through the interface below.
#pragma once

#include "kelvara/ui/NoticeWindows.h"

#include <span>

struct KelvaraSettingsDialog;

namespace kelvara {

namespace settings_list {
inline constexpr int kReader = 0; // control 2011
inline constexpr int kSpeed = 1; // control 1026
inline constexpr int kPort = 2; // control 2002
inline constexpr int kCount = 3;
} // namespace settings_list

class SettingsDialogModel {
public:
    virtual ~SettingsDialogModel() = default;

    // The dialog starts: reads the stored settings into selections and
    // enabled states.
    virtual void InitDialog() = 0;
    // The items of a list, in list order.
    virtual std::span<const char *const> Items(int list) const = 0;
    // The selected item of a list, -1 for none.
    virtual int Selection(int list) const = 0;
    virtual bool Enabled(int list) const = 0;
    // The user moved a list's selection (an index outside the list leaves
    // none selected). Enabled states do not follow here.
    virtual void Select(int list, int index) = 0;
    // The reader list's drop-down closed: the other lists follow the reader.
    virtual void ReaderListClosedUp() = 0;
    // OK stores the selections; Cancel stores nothing.
    virtual void Ok() = 0;
    virtual void Cancel() = 0;
};

// Runs the dialog modally over `parent` (null: none) until OK or Cancel.
// The caller's handler (KelvaraSetSettingsDialogHandler) takes the place of
// the window when one is installed. Returns 1 (OK) or 2 (Cancel), or 0 when
// no dialog could be shown (always on Linux without a handler).
int RunSettingsDialog(SettingsDialogModel &model, WindowHandle parent);

// The platform's own window (Linux: none; returns 0).
int RunPlatformSettingsDialog(SettingsDialogModel &model, WindowHandle parent);

using SettingsDialogHandler = int (*)(void *ctx, KelvaraSettingsDialog *dialog);
// Installs (or, with a null handler, removes) the caller's handler.
void SetSettingsDialogHandler(SettingsDialogHandler handler, void *ctx);

} // namespace kelvara
