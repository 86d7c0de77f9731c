// The worker thread on Linux: std::thread, a mutex as the poll lock and a
// condition variable that wakes the thread to stop.
#include "sampora/Worker.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace sampora {

namespace {
using Clock = std::chrono::steady_clock;
} // namespace

struct Worker::Impl {
    explicit Impl(unsigned idleMs)
        : idle(idleMs)
    {
    }
    const std::chrono::milliseconds idle;
    std::mutex pollMutex; // the poll lock
    Clock::time_point due; // next idle poll; guarded by pollMutex

    std::mutex stopMutex;
    std::condition_variable stopCv;
    bool stop = false; // guarded by stopMutex

    PollFunction poll = nullptr;
    void *context = nullptr;
    std::thread thread;

    void Run()
    {
        for (;;) {
            Clock::time_point until;
            {
                std::lock_guard<std::mutex> lock(pollMutex);
                until = due;
            }
            {
                std::unique_lock<std::mutex> lock(stopMutex);
                if (stopCv.wait_until(lock, until, [this] { return stop; }))
                    return;
            }
            std::lock_guard<std::mutex> lock(pollMutex);
            const Clock::time_point now = Clock::now();
            if (now >= due) {
                poll(context);
                due = Clock::now() + idle;
            }
        }
    }
};

Worker::Worker(unsigned idlePeriodMs)
    : impl_(std::make_unique<Impl>(idlePeriodMs))
{
}

Worker::~Worker() { Stop(); }

bool Worker::Start(PollFunction poll, void *context)
{
    Stop();
    impl_->poll = poll;
    impl_->context = context;
    {
        std::lock_guard<std::mutex> lock(impl_->stopMutex);
        impl_->stop = false;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->pollMutex);
        impl_->due = Clock::now() + impl_->idle;
    }
    try {
        impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void Worker::Stop()
{
    if (!impl_->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->stopMutex);
        impl_->stop = true;
    }
    impl_->stopCv.notify_all();
    impl_->thread.join();
}

// dlclose runs the destructors without a lock the worker needs to end.
void Worker::StopAtUnload() { Stop(); }

void Worker::Lock() { impl_->pollMutex.lock(); }
void Worker::Unlock() { impl_->pollMutex.unlock(); }
void Worker::RestartIdleTimer() { impl_->due = Clock::now() + impl_->idle; }

} // namespace sampora
