// The exported setters of the host bindings' handlers: the progress notice,
// the transfer progress and the reader-settings dialog. Each runs in the export frame, so a
// handler cannot be swapped under a running call.
#include "kelvara.h"

#include "kelvara/frame/ExportFrame.h"
#include "kelvara/services/Notice.h"
#include "kelvara/services/Progress.h"
#include "kelvara/services/SettingsDialogWindow.h"

using namespace kelvara;

extern "C" {

void KelvaraSetProgressNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx)
{
    RunExportVoid([&] { SetProgressNoticeHandler(handler, ctx); });
}

void KelvaraSetProgressHandler(void (*handler)(void *ctx, int done, int total), void *ctx)
{
    RunExportVoid([&] { SetProgressHandler(handler, ctx); });
}

void KelvaraSetSettingsDialogHandler(int (*handler)(void *ctx, KelvaraSettingsDialog *dialog), void *ctx)
{
    RunExportVoid([&] { SetSettingsDialogHandler(handler, ctx); });
}

} // extern "C"
