// The lock on POSIX threads.
#include "sampora/Lock.h"

#include <mutex>

namespace sampora {

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

} // namespace sampora
