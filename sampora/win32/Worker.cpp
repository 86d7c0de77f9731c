// The worker thread on Windows: CreateThread, an auto-reset stop event and
// a critical section as the poll lock.
//
// Unloading: a thread that ends needs the loader's lock, which the thread
// unloading the DLL holds, so waiting for the worker at DLL detach would
// never end. The worker therefore holds a reference to the DLL while it runs
// and drops it as it ends (FreeLibraryAndExitThread): a FreeLibrary without
// Close leaves the DLL loaded, its worker still draining the port, until Close
// or the end of the process. At the end of the process the other threads are
// already gone and nothing waits.
#include "sampora/Worker.h"

#include "common/win32/WindowsHeaders.h"
#include "sampora/win32/ProcessEnd.h"

namespace sampora {

namespace {
// How long an unload waits for a worker that Close never stopped.
constexpr DWORD kUnloadWaitMs = 2000;

volatile LONG g_processEnding = 0;

// Whether tick count `now` has reached `due`; right across the wrap of the
// 32-bit count as long as the two are less than 24 days apart.
bool Reached(DWORD now, DWORD due) { return static_cast<LONG>(now - due) >= 0; }
} // namespace

void NoteProcessEnding() { ::InterlockedExchange(&g_processEnding, 1); }
bool ProcessEnding() { return ::InterlockedCompareExchange(&g_processEnding, 0, 0) != 0; }

struct Worker::Impl {
    const DWORD idleMs;
    CRITICAL_SECTION pollLock;
    DWORD due = 0; // next idle poll, GetTickCount time; guarded by pollLock
    HANDLE stopEvent = nullptr;
    HANDLE thread = nullptr;
    HMODULE module = nullptr; // the reference the running thread holds
    PollFunction poll = nullptr;
    void *context = nullptr;

    explicit Impl(unsigned idlePeriodMs)
        : idleMs(idlePeriodMs)
    {
        ::InitializeCriticalSection(&pollLock);
        stopEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    ~Impl()
    {
        if (stopEvent != nullptr)
            ::CloseHandle(stopEvent);
        ::DeleteCriticalSection(&pollLock);
    }

    static DWORD WINAPI Entry(LPVOID self)
    {
        Impl *impl = static_cast<Impl *>(self);
        const HMODULE module = impl->module;
        impl->Run();
        // Leaves the DLL's code and drops its reference in one call.
        ::FreeLibraryAndExitThread(module, 0);
        return 0;
    }

    void Run()
    {
        for (;;) {
            ::EnterCriticalSection(&pollLock);
            const DWORD now = ::GetTickCount();
            const DWORD wait = Reached(now, due) ? 0 : due - now;
            ::LeaveCriticalSection(&pollLock);
            const DWORD r = ::WaitForSingleObject(stopEvent, wait);
            if (r == WAIT_OBJECT_0)
                return;
            if (r != WAIT_TIMEOUT) {
                ::Sleep(10); // a failed wait: wait again without polling, without spinning
                continue;
            }
            ::EnterCriticalSection(&pollLock);
            if (Reached(::GetTickCount(), due)) {
                poll(context);
                due = ::GetTickCount() + idleMs;
            }
            ::LeaveCriticalSection(&pollLock);
        }
    }

    // Signals the thread, waits at most `wait` ms for it, closes its handle.
    void End(DWORD wait)
    {
        if (thread == nullptr)
            return;
        ::SetEvent(stopEvent);
        if (wait != 0)
            ::WaitForSingleObject(thread, wait);
        ::CloseHandle(thread);
        thread = nullptr;
    }
};

Worker::Worker(unsigned idlePeriodMs)
    : impl_(std::make_unique<Impl>(idlePeriodMs))
{
}

Worker::~Worker() { StopAtUnload(); }

bool Worker::Start(PollFunction poll, void *context)
{
    Stop();
    if (impl_->stopEvent == nullptr)
        return false;
    // The DLL holding this code stays loaded while the thread runs.
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&Impl::Entry), &module))
        return false;
    impl_->module = module;
    impl_->poll = poll;
    impl_->context = context;
    ::ResetEvent(impl_->stopEvent);
    ::EnterCriticalSection(&impl_->pollLock);
    impl_->due = ::GetTickCount() + impl_->idleMs;
    ::LeaveCriticalSection(&impl_->pollLock);
    impl_->thread = ::CreateThread(nullptr, 0, &Impl::Entry, impl_.get(), 0, nullptr);
    if (impl_->thread == nullptr) {
        ::FreeLibrary(module);
        return false;
    }
    return true;
}

void Worker::Stop() { impl_->End(ProcessEnding() ? 0 : INFINITE); }

void Worker::StopAtUnload() { impl_->End(ProcessEnding() ? 0 : kUnloadWaitMs); }

void Worker::Lock() { ::EnterCriticalSection(&impl_->pollLock); }
void Worker::Unlock() { ::LeaveCriticalSection(&impl_->pollLock); }
void Worker::RestartIdleTimer() { impl_->due = ::GetTickCount() + impl_->idleMs; }

} // namespace sampora
