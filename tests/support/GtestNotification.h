// GoogleTest for the Windows test programs built with the win32 thread model,
// whose libstdc++ has no std::mutex or std::condition_variable: GoogleTest's
// one user of them, Notification, is given here on a Win32 event, and the
// build includes this file ahead of every source that sees GoogleTest.
#pragma once

#ifdef __cplusplus
#include <windows.h>

namespace testing::internal {

class Notification {
public:
    Notification()
        : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

} // namespace testing::internal

#define GTEST_HAS_NOTIFICATION_ 1
#endif
