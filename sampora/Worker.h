// The library's worker thread and the hand-over of the receive side between
// it and the thread running a command. One implementation per OS.
//
// The worker calls the poll function once a second (its idle period) while
// no command runs.
// A command takes the poll lock for the whole of its exchange: the worker
// is then never inside a poll while the command polls, and it never stops
// halfway through one. When the command gives the lock back with
// RestartIdleTimer, the worker's next poll is a full second away, so a late
// reply left in the port is still there for the next command.
#pragma once

#include <memory>

namespace sampora {

class Worker {
public:
    using PollFunction = void (*)(void *context);
    static constexpr unsigned kIdlePeriodMs = 1000;

    // `idlePeriodMs` other than a second only for tests that want the
    // worker to poll often.
    explicit Worker(unsigned idlePeriodMs = kIdlePeriodMs);
    ~Worker(); // stops the thread if it still runs
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Starts the thread; false when it cannot be created. The first idle poll
    // comes one idle period later.
    bool Start(PollFunction poll, void *context);

    // Wakes the thread and waits until it has ended. Returns at once when it
    // does not run. Must not be called while holding the poll lock.
    void Stop();

    // Stop as the library is unloaded: never waits without bound, and not at
    // all when the process is ending (its other threads are gone then).
    void StopAtUnload();

    // Mutual exclusion with the worker's polls (and with other lock holders).
    void Lock();
    void Unlock();

    // Called with the lock held: the next idle poll comes one idle period
    // from now.
    void RestartIdleTimer();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds the worker's poll lock for a scope.
class PollGuard {
public:
    explicit PollGuard(Worker &worker)
        : worker_(worker)
    {
        worker_.Lock();
    }
    ~PollGuard() { worker_.Unlock(); }
    PollGuard(const PollGuard &) = delete;
    PollGuard &operator=(const PollGuard &) = delete;

private:
    Worker &worker_;
};

} // namespace sampora
