// Stops another process at an exact step of its work: the gate watches every open() of a file in
// chosen directories and holds the first one a test's matcher picks, so the opening process waits
// inside that open until the test releases it. A test kills the process while the open is held and
// knows exactly what it had and had not done, with no timing involved.
//
// Linux fanotify permission events; they need CAP_SYS_ADMIN (CI runs as root). Opens made by the
// test's own process are never held. The gate answers every other open at once, so a process that
// opens files in a watched directory only slows down a little while the gate lives.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_
#define FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class OpenGate {
 public:
  struct Open {
    pid_t pid = 0;     // the process that opens
    std::string path;  // the file as the kernel names it
  };
  // Called on the gate's thread for every open by another process, in order, until it returns
  // true once; it may keep state of its own.
  using Matcher = std::function<bool(const Open&)>;

  // Empty when a gate can be made here; otherwise why not (for GTEST_SKIP).
  static std::string Unavailable();

  // Watches opens of the files directly inside each of `directories` (which must exist). Throws
  // std::runtime_error when fanotify refuses.
  explicit OpenGate(const std::vector<std::string>& directories);
  // Lets a held open go and stops watching.
  ~OpenGate();
  OpenGate(const OpenGate&) = delete;
  OpenGate& operator=(const OpenGate&) = delete;

  // Arms the gate: the first later open for which `matcher` returns true is held.
  void HoldFirst(Matcher matcher);
  // Waits until an open is held and returns it; nullopt when none came within `timeout`.
  std::optional<Open> WaitHeld(std::chrono::milliseconds timeout);

 private:
  void Release();
  void Watch();
  void Allow(int eventFd);

  int group_ = -1;
  int stop_ = -1;  // an eventfd: readable once the gate is being destroyed
  std::mutex mutex_;
  std::condition_variable held_;
  Matcher matcher_;
  std::optional<Open> heldOpen_;
  int heldFd_ = -1;
  std::thread watcher_;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_
