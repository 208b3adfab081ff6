// Stops another process at an exact step of its work: the gate watches every open() of a file in
// chosen directories and holds the first one a test's matcher picks, so the opening process waits
// inside that open until the gate goes. A test kills the process while the open is held and knows
// exactly what it had and had not done, with no timing involved.
//
// Linux fanotify permission events; they need CAP_SYS_ADMIN (CI runs as root). While the gate
// lives, an open in a watched directory waits for the gate to answer it, which it does only inside
// HoldFirst: the test's own process must open nothing there meanwhile.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_
#define FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class OpenGate {
 public:
  struct Open {
    pid_t pid = 0;     // the process that opens
    std::string path;  // the file as the kernel names it
  };
  using Matcher = std::function<bool(const Open&)>;

  // Empty when a gate can be made here; otherwise why not (for GTEST_SKIP).
  static std::string Unavailable();

  // Watches opens of the files directly inside each of `directories` (which must exist). Throws
  // std::runtime_error when fanotify refuses.
  explicit OpenGate(const std::vector<std::string>& directories);
  // Lets the held open go, and every other one, and stops watching.
  ~OpenGate();
  OpenGate(const OpenGate&) = delete;
  OpenGate& operator=(const OpenGate&) = delete;

  // Lets opens by other processes go, in order, until `matcher` (called for each) picks one,
  // which is held until the gate goes, and returns it; nullopt when none came within `timeout`.
  std::optional<Open> HoldFirst(const Matcher& matcher, std::chrono::milliseconds timeout);

 private:
  int group_ = -1;
  int held_ = -1;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_OPEN_GATE_H_
