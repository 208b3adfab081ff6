#include "program/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "host/mail_server.h"
#include "program/program_log.h"

namespace updater {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal(std::chrono::milliseconds timeout, int wakeFd) {
  const sigset_t set = StopSignals();
  if (wakeFd >= 0) {
    // The signals stay blocked: a signalfd reports them as readable without delivering them.
    static const int signals = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals >= 0) {
      pollfd fds[2] = {{signals, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
      signalfd_siginfo info;
      if (ready > 0 && (fds[0].revents & POLLIN) != 0 &&
          ::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        return static_cast<int>(info.ssi_signo);
      }
      return 0;
    }
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds);
  timespec limit{static_cast<time_t>(seconds.count()), static_cast<long>(rest.count())};
  const int sig = sigtimedwait(&set, nullptr, &limit);
  return sig > 0 ? sig : 0;  // time-out (EAGAIN) and interruption (EINTR) alike: none
}

void ReopenLogOnHangup() {
  if (ReopenLogFile()) {
    LogProgramOperation(kEventLogReopened, "", {"Log file reopened", "on SIGHUP"});
  } else {
    LogProgramError(kEventLogReopened, "",
                    {"Log file reopened",
                     "on SIGHUP: the file cannot be opened; entries go to "
                     "stderr until it can"});
  }
}

}  // namespace updater
