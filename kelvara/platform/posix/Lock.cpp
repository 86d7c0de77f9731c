// The lock on POSIX threads.
#include "kelvara/services/Lock.h"

#include <pthread.h>

#include <mutex>

namespace kelvara {

struct Lock::Impl {
    std::mutex mutex;
};

Lock::Lock()
    : impl_(std::make_unique<Impl>())
{
}

Lock::~Lock() = default;

void Lock::Acquire() { impl_->mutex.lock(); }
void Lock::Release() { impl_->mutex.unlock(); }

std::uintptr_t CurrentThreadId() { return static_cast<std::uintptr_t>(::pthread_self()); }

} // namespace kelvara
