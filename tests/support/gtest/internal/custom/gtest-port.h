// GoogleTest's hook for platform-specific pieces, found before its own empty
// one. The win32-threads flavour of the MinGW compiler has no std::mutex, which
// GoogleTest's Notification is built on; a Win32 event does the same job.
#ifndef FLASH_TESTS_GTEST_CUSTOM_PORT_H
#define FLASH_TESTS_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
