// The exported setters of the caller's handlers: message boxes, the
// connection notice, the progress notice, the transfer progress and the
// reader-settings dialog. Each runs in the export frame like every other
// entry point, so a handler is never swapped under a running call: a setter
// called from another thread waits for that call to return, and one called
// from inside a handler is refused (the handler stays as it is).
#include "kelvara.h"

#include "kelvara/api/ExportFrame.h"
#include "kelvara/services/MessageBox.h"
#include "kelvara/services/Progress.h"
#include "kelvara/ui/NoticeWindows.h"
#include "kelvara/ui/SettingsDialogView.h"

using namespace kelvara;

extern "C" {

void KelvaraSetMessageBoxHandler(int (*handler)(void *ctx, const char *text, const char *caption, unsigned int type),
                                 void *ctx)
{
    RunExportVoid([&] { SetMessageBoxHandler(handler, ctx); });
}

void KelvaraSetNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx)
{
    RunExportVoid([&] { SetNoticeHandler(handler, ctx); });
}

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
