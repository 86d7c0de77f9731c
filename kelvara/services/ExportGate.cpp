// The entry gate: one process-wide lock and the thread that holds it. The
// holder is compared only by the thread itself (a thread sees its own id
// there only if it stored it), so a relaxed read is enough.
#include "kelvara/services/ExportGate.h"

#include "common/Lock.h"

#include <atomic>

namespace kelvara {
namespace {

// Never destroyed: an entry point may still run on another thread while the
// process ends, and the lock must outlive it.
wqn::Lock &TheGate()
{
    static wqn::Lock *gate = new wqn::Lock();
    return *gate;
}

std::atomic<std::uintptr_t> g_holder{0};

} // namespace

ExportGate::ExportGate()
{
    const std::uintptr_t self = wqn::CurrentThreadId();
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
