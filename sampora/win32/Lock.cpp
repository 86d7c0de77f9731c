// The lock on Windows: a critical section, there on every Windows the DLL
// supports and needing no thread library.
#include "sampora/Lock.h"

#include "sampora/win32/WindowsApi.h"

namespace sampora {

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

} // namespace sampora
