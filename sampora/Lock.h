// A mutual-exclusion lock for state that the caller's threads and the worker
// share outside the poll lock (the trace writer). One implementation per OS:
// the Windows build has no std::mutex (its thread model is Windows' own, so
// the DLL loads on XP).
#pragma once

#include <memory>

namespace sampora {

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

} // namespace sampora
