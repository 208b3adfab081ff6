// Runs the host callbacks' shell commands: /bin/sh -c COMMAND in a process group of its own, with
// stdin from /dev/null, stdout and stderr into one pipe that the program copies to its own stderr
// (so that `once` keeps stdout for its summary) while it keeps the last lines, the program's
// environment plus the variables given, and a time limit.
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

struct CommandResult {
  CommandOutcome outcome = CommandOutcome::kNotStarted;
  int exitStatus = -1;  // when it exited by itself
  int signal = 0;       // the signal that ended it, when one did
  // The last lines it wrote (at most 5, CR LF between them), without the final line end. Output
  // written after the shell has exited (by a command it left running) is not waited for.
  std::string lastLines;
};

using EnvironmentVariables = std::vector<std::pair<std::string, std::string>>;

// Safe to call from several threads at once: it reads the process environment but never changes
// it. Signals the program blocks are unblocked in the child.
CommandResult RunShellCommand(const std::string& command, const EnvironmentVariables& variables,
                              std::chrono::milliseconds limit, const std::atomic<bool>* cancel);

// "exit status 3", "killed by SIGKILL", ... for a result that is not a success.
std::string DescribeCommandResult(const CommandResult& result, std::chrono::milliseconds limit);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_SHELL_COMMAND_H_
