// The progress counts of the running export and the host's handler.
#include "kelvara/services/Progress.h"

#include "kelvara/services/HandlerSlot.h"

#include <atomic>

namespace kelvara {
namespace {

HandlerSlot<ProgressHandler> g_handler;
// Exports run one at a time (the export gate); atomics only so that a
// handler set from another thread never races with a count.
std::atomic<int> g_done{0};
std::atomic<int> g_total{0};

void Report()
{
    const auto entry = g_handler.Get();
    if (entry.handler != nullptr)
        entry.handler(entry.context, g_done.load(), g_total.load());
}

void Reset()
{
    g_done = 0;
    g_total = 0;
}

} // namespace

void SetProgressHandler(ProgressHandler handler, void *ctx) { g_handler.Set(handler, ctx); }

void progress::Planned(int pages)
{
    if (pages <= 0)
        return;
    g_total += pages;
    Report();
}

void progress::PageDone()
{
    // Never more done than planned: a page outside any plan counts in both.
    if (++g_done > g_total)
        g_total = g_done.load();
    Report();
}

ProgressScope::ProgressScope() { Reset(); }
ProgressScope::~ProgressScope() { Reset(); }

} // namespace kelvara
