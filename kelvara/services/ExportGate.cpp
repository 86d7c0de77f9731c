// The entry gate: one process-wide lock and the thread that holds it. The
// holder is compared only by the thread itself (a thread sees its own id
// there only if it stored it), so a relaxed read is enough.
#include "kelvara/services/ExportGate.h"

#include "kelvara/services/Lock.h"

#include <atomic>

namespace kelvara {
namespace {

// Never destroyed: an entry point may still run on another thread while the
// process ends, and the lock must outlive it.
Lock &TheGate()
{
    static Lock *gate = new Lock();
    return *gate;
}

std::atomic<std::uintptr_t> g_holder{0};

} // namespace

ExportGate::ExportGate()
{
    const std::uintptr_t self = CurrentThreadId();
    if (g_holder.load(std::memory_order_relaxed) == self)
        return;
    TheGate().Acquire();
    g_holder.store(self, std::memory_order_relaxed);
    entered_ = true;
}

ExportGate::~ExportGate()
{
    if (!entered_)
        return;
    g_holder.store(0, std::memory_order_relaxed);
    TheGate().Release();
}

} // namespace kelvara
