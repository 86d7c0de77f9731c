// The worker thread on Windows: CreateThread, an auto-reset stop event and
// a critical section as the poll lock.
#include "sampora/Worker.h"

#include "sampora/win32/WindowsApi.h"

namespace sampora {

namespace {
constexpr DWORD kIdlePeriodMs = 1000;

// Whether tick count `now` has reached `due`; right across the wrap of the
// 32-bit count as long as the two are less than 24 days apart.
bool Reached(DWORD now, DWORD due) { return static_cast<LONG>(now - due) >= 0; }
// How long the destructor waits for a thread that Close never stopped; at
// unload under the loader lock the thread may be unable to end at all.
constexpr DWORD kUnloadWaitMs = 2000;
} // namespace

struct Worker::Impl {
    CRITICAL_SECTION poll_lock;
    DWORD due = 0; // next idle poll, GetTickCount time; guarded by poll_lock
    HANDLE stop_event = nullptr;
    HANDLE thread = nullptr;
    PollFunction poll = nullptr;
    void *context = nullptr;

    Impl()
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
            const DWORD now = ::GetTickCount();
            const DWORD wait = Reached(now, due) ? 0 : due - now;
            ::LeaveCriticalSection(&poll_lock);
            const DWORD r = ::WaitForSingleObject(stop_event, wait);
            if (r == WAIT_OBJECT_0)
                return;
            if (r != WAIT_TIMEOUT) {
                ::Sleep(10); // a failed wait: wait again without polling, without spinning
                continue;
            }
            ::EnterCriticalSection(&poll_lock);
            if (Reached(::GetTickCount(), due)) {
                poll(context);
                due = ::GetTickCount() + kIdlePeriodMs;
            }
            ::LeaveCriticalSection(&poll_lock);
        }
    }
};

Worker::Worker()
    : impl_(std::make_unique<Impl>())
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
    impl_->due = ::GetTickCount() + kIdlePeriodMs;
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
void Worker::RestartIdleTimer() { impl_->due = ::GetTickCount() + kIdlePeriodMs; }

} // namespace sampora
