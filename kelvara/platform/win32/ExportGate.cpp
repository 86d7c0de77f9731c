// The entry gate on Windows: a critical section (available on every Windows
// the DLL supports, no thread library needed) and the id of the thread that
// holds it.
#include "kelvara/services/ExportGate.h"

#include "kelvara/platform/win32/WindowsHeaders.h"

namespace kelvara {
namespace {

struct Gate {
    Gate() { InitializeCriticalSection(&section); }
    // Never deleted: an entry point may still run on another thread while the
    // process ends, and the section must outlive it.
    CRITICAL_SECTION section;
    volatile LONG holder = 0;
};

Gate &TheGate()
{
    static Gate *gate = new Gate();
    return *gate;
}

} // namespace

ExportGate::ExportGate()
{
    Gate &gate = TheGate();
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    if (InterlockedCompareExchange(&gate.holder, 0, 0) == self)
        return;
    EnterCriticalSection(&gate.section);
    InterlockedExchange(&gate.holder, self);
    entered_ = true;
}

ExportGate::~ExportGate()
{
    if (!entered_)
        return;
    Gate &gate = TheGate();
    InterlockedExchange(&gate.holder, 0);
    LeaveCriticalSection(&gate.section);
}

} // namespace kelvara
