// The lock on POSIX threads.
#include "common/Lock.h"

#include <pthread.h>

#include <mutex>

namespace wqn {

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

} // namespace wqn
