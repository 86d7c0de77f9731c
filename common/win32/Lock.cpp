// The lock on Windows: a critical section, there on every Windows the DLL
// supports and needing no thread library.
#include "common/Lock.h"

#include "common/win32/WindowsHeaders.h"

namespace wqn {

struct Lock::Impl {
    Impl() { ::InitializeCriticalSection(&section); }
    ~Impl() { ::DeleteCriticalSection(&section); }
    CRITICAL_SECTION section;
};

Lock::Lock()
    : impl_(std::make_unique<Impl>())
{
}

Lock::~Lock() = default;

void Lock::Acquire() { ::EnterCriticalSection(&impl_->section); }
void Lock::Release() { ::LeaveCriticalSection(&impl_->section); }

std::uintptr_t CurrentThreadId() { return static_cast<std::uintptr_t>(::GetCurrentThreadId()); }

} // namespace wqn
