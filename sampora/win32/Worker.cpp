// The worker thread on Windows: CreateThread, an auto-reset stop event and
// a critical section as the poll lock.
#include "sampora/Worker.h"

#include "sampora/win32/WindowsApi.h"

namespace sampora {

namespace {
// How long the destructor waits for a thread that Close never stopped; at
// unload under the loader lock the thread may be unable to end at all.
constexpr DWORD kUnloadWaitMs = 2000;
} // namespace

struct Worker::Impl {
    const ULONGLONG idle_ms;
    CRITICAL_SECTION poll_lock;
    ULONGLONG due = 0; // next idle poll, GetTickCount64 time; guarded by poll_lock
    HANDLE stop_event = nullptr;
    HANDLE thread = nullptr;
    PollFunction poll = nullptr;
    void *context = nullptr;

    explicit Impl(unsigned idleMs)
        : idle_ms(idleMs)
    {
        ::InitializeCriticalSection(&poll_lock);
        stop_event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Impl()
    {
        if (stop_event != nullptr)
            ::CloseHandle(stop_event);
        ::DeleteCriticalSection(&poll_lock);
    }

    static DWORD WINAPI Entry(LPVOID self)
    {
        static_cast<Impl *>(self)->Run();
        return 0;
    }

    void Run()
    {
        for (;;) {
            ::EnterCriticalSection(&poll_lock);
            const ULONGLONG now = ::GetTickCount64();
            const DWORD wait = due > now ? static_cast<DWORD>(due - now) : 0;
            ::LeaveCriticalSection(&poll_lock);
            const DWORD r = ::WaitForSingleObject(stop_event, wait);
            if (r == WAIT_OBJECT_0)
                return;
            if (r != WAIT_TIMEOUT) {
                ::Sleep(10); // a failed wait: wait again without polling, without spinning
                continue;
            }
            ::EnterCriticalSection(&poll_lock);
            if (::GetTickCount64() >= due) {
                poll(context);
                due = ::GetTickCount64() + idle_ms;
            }
            ::LeaveCriticalSection(&poll_lock);
        }
    }
};

Worker::Worker(unsigned idlePeriodMs)
    : impl_(std::make_unique<Impl>(idlePeriodMs))
{
}

Worker::~Worker()
{
    if (impl_->thread == nullptr)
        return;
    ::SetEvent(impl_->stop_event);
    ::WaitForSingleObject(impl_->thread, kUnloadWaitMs);
    ::CloseHandle(impl_->thread);
    impl_->thread = nullptr;
}

bool Worker::Start(PollFunction poll, void *context)
{
    Stop();
    if (impl_->stop_event == nullptr)
        return false;
    impl_->poll = poll;
    impl_->context = context;
    ::ResetEvent(impl_->stop_event);
    ::EnterCriticalSection(&impl_->poll_lock);
    impl_->due = ::GetTickCount64() + impl_->idle_ms;
    ::LeaveCriticalSection(&impl_->poll_lock);
    impl_->thread = ::CreateThread(nullptr, 0, &Impl::Entry, impl_.get(), 0, nullptr);
    return impl_->thread != nullptr;
}

void Worker::Stop()
{
    if (impl_->thread == nullptr)
        return;
    ::SetEvent(impl_->stop_event);
    ::WaitForSingleObject(impl_->thread, INFINITE);
    ::CloseHandle(impl_->thread);
    impl_->thread = nullptr;
}

void Worker::Lock() { ::EnterCriticalSection(&impl_->poll_lock); }
void Worker::Unlock() { ::LeaveCriticalSection(&impl_->poll_lock); }
void Worker::RestartIdleTimer() { impl_->due = ::GetTickCount64() + impl_->idle_ms; }

} // namespace sampora
