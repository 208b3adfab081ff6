// Runs the host callbacks' shell commands: /bin/sh -c COMMAND in a process group of its own, with
// stdin from /dev/null, stdout joined to stderr (so that `once` keeps stdout for its summary), the
// program's environment plus the variables given, and a time limit.
#ifndef FILEREPOSITORY_PROGRAM_SHELL_COMMAND_H_
#define FILEREPOSITORY_PROGRAM_SHELL_COMMAND_H_

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace updater {

enum class CommandOutcome {
  kSucceeded,   // exit status 0
  kFailed,      // another exit status, or ended by a signal
  kTimedOut,    // still running at the time limit: its process group was killed
  kCancelled,   // `cancel` was raised while it ran: its process group was killed
  kNotStarted,  // the shell could not be started
};

using EnvironmentVariables = std::vector<std::pair<std::string, std::string>>;

// Safe to call from several threads at once: it reads the process environment but never changes
// it. Signals the program blocks are unblocked in the child.
CommandOutcome RunShellCommand(const std::string& command, const EnvironmentVariables& variables,
                               std::chrono::milliseconds limit, const std::atomic<bool>* cancel);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_SHELL_COMMAND_H_
