// Progress of the current export's page transfers, for hosts that show their
// own progress bar (KelvaraSetProgressHandler). The card file system reports
// through the two calls below and knows nothing else about it; the export
// frame opens a scope per entry point, so counts never carry over from one
// call to the next.
#pragma once

namespace kelvara {

using ProgressHandler = void (*)(void *ctx, int done, int total);

// Installs (or, with a null handler, removes) the caller's handler. It is
// called on the thread of the running export as each file begins and after
// each page, with the pages done and the pages to do so far in this export.
void SetProgressHandler(ProgressHandler handler, void *ctx);

namespace progress {

// `pages` more pages to transfer in this export (a file about to be copied).
void Planned(int pages);
// One page transferred.
void PageDone();

} // namespace progress

// Counts from zero for as long as it lives (one export).
class ProgressScope {
public:
    ProgressScope();
    ~ProgressScope();
    ProgressScope(const ProgressScope &) = delete;
    ProgressScope &operator=(const ProgressScope &) = delete;
};

} // namespace kelvara
