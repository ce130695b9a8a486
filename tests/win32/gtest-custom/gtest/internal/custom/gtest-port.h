// GoogleTest's hook for local configuration, found ahead of its own empty one.
//
// On Windows, GoogleTest builds its Notification on std::mutex and
// std::condition_variable, which the win32 thread model of Debian's
// mingw-w64 GCC does not provide; GoogleTest lets a build bring its own.
// Only GoogleTest's thread helpers use it.
#pragma once

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification();
  ~Notification();
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify();
  void WaitForNotification();

 private:
  void* event_;
};

}  // namespace testing::internal
