// A mutual-exclusion lock and the identity of the calling thread, for the
// places where a host's threads meet in either library (the entry gate, the
// handler slots, the trace writers). One implementation per OS: the Windows
// builds have no std::mutex (their thread model is Windows' own, so the DLLs
// load on XP).
#pragma once

#include <cstdint>
#include <memory>

namespace wqn {

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    // Blocks until this thread holds the lock; not re-entrant.
    void Acquire();
    void Release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds a lock for a scope.
class LockHolder {
public:
    explicit LockHolder(Lock &lock)
        : lock_(lock)
    {
        lock_.Acquire();
    }
    ~LockHolder() { lock_.Release(); }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

private:
    Lock &lock_;
};

// A number that names the calling thread for as long as it runs; never 0.
std::uintptr_t CurrentThreadId();

} // namespace wqn
