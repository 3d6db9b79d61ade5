// GoogleTest's Notification (gtest-port.h) is made of std::mutex and
// std::condition_variable, which MinGW's win32 thread model (GCC before 13)
// lacks: this one, on a Win32 event, takes its place through GoogleTest's
// own hook for it (GTEST_HAS_NOTIFICATION_). Force-included where GoogleTest
// is built for MinGW and used; only GoogleTest's own threads wait on it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {
class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};
}  // namespace testing::internal
