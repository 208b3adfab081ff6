#include "program/stop_signals.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace updater {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal(std::chrono::milliseconds timeout) {
  const sigset_t set = StopSignals();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds);
  timespec limit{static_cast<time_t>(seconds.count()), static_cast<long>(rest.count())};
  const int sig = sigtimedwait(&set, nullptr, &limit);
  return sig > 0 ? sig : 0;  // time-out (EAGAIN) and interruption (EINTR) alike: none
}

}  // namespace updater
