#include "program/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace updater {
namespace {

constexpr std::size_t kKeptBytes = 4096;
constexpr std::size_t kKeptLines = 5;

// The process environment without the names that `variables` sets, then `variables`.
std::vector<std::string> BuildEnvironment(const EnvironmentVariables& variables) {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [key, value] : variables) replaced = replaced || key == name;
    if (!replaced) result.push_back(text);
  }
  for (const auto& [key, value] : variables) result.push_back(key + "=" + value);
  return result;
}

pid_t Spawn(const std::string& command, const EnvironmentVariables& variables, int outputFd) {
  std::vector<std::string> environment = BuildEnvironment(variables);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", flag = "-c", script = command;
  char* argv[] = {shell.data(), flag.data(), script.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
  // The service blocks its signals in every thread and the child would inherit that mask: a
  // callback must be stoppable like any other process.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A group of its own, so that a time-out ends whatever the command started too.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp.data()) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int KillGroupAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Copies what the command wrote to stderr and keeps its end. False at the end of the output.
bool CopyOutput(int fd, std::string& kept) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 && errno == EAGAIN;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = ::write(STDERR_FILENO, buffer + done, got - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;  // a closed stderr loses the copy, not the kept lines
      done += written;
    }
    kept.append(buffer, static_cast<std::size_t>(got));
    if (kept.size() > kKeptBytes) kept.erase(0, kept.size() - kKeptBytes);
  }
}

std::string LastLines(std::string text) {
  std::replace(text.begin(), text.end(), '\r', '\n');
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::string result;
  const std::size_t first = lines.size() > kKeptLines ? lines.size() - kKeptLines : 0;
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (!result.empty()) result += "\r\n";
    result += lines[i];
  }
  return result;
}

}  // namespace

CommandResult RunShellCommand(const std::string& command, const EnvironmentVariables& variables,
                              std::chrono::milliseconds limit, const std::atomic<bool>* cancel) {
  CommandResult result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  const pid_t pid = Spawn(command, variables, pipeFds[1]);
  ::close(pipeFds[1]);
  const int output = pipeFds[0];
  if (pid < 0) {
    ::close(output);
    return result;
  }
  ::fcntl(output, F_SETFL, ::fcntl(output, F_GETFL) | O_NONBLOCK);

  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string kept;
  bool open = true;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (open) CopyOutput(output, kept);  // what it wrote before it exited
      result.outcome = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? CommandOutcome::kSucceeded
                                                                     : CommandOutcome::kFailed;
      break;
    }
    if (done < 0 && errno != EINTR) {
      result.outcome = CommandOutcome::kFailed;
      break;
    }
    if (cancel != nullptr && cancel->load()) {
      status = KillGroupAndReap(pid);
      result.outcome = CommandOutcome::kCancelled;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      status = KillGroupAndReap(pid);
      result.outcome = CommandOutcome::kTimedOut;
      break;
    }
    // Wakes on output and on the end of it (the shell's exit, usually); the step bounds how late
    // an exit that leaves the output open, a cancel or the deadline is seen.
    pollfd ready{output, POLLIN, 0};
    if (::poll(&ready, open ? 1 : 0, 50) > 0) open = CopyOutput(output, kept);
  }
  ::close(output);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.lastLines = LastLines(kept);
  return result;
}

std::string DescribeCommandResult(const CommandResult& result, std::chrono::milliseconds limit) {
  switch (result.outcome) {
    case CommandOutcome::kSucceeded:
      return "exit status 0";
    case CommandOutcome::kNotStarted:
      return "could not be started (/bin/sh)";
    case CommandOutcome::kTimedOut:
      return "still running after " + std::to_string(limit.count()) + " ms: killed";
    case CommandOutcome::kCancelled:
      return "killed because the service is stopping";
    case CommandOutcome::kFailed:
      break;
  }
  if (result.signal != 0) {
    const char* name = sigabbrev_np(result.signal);
    return "killed by " + (name != nullptr ? "SIG" + std::string(name)
                                           : "signal " + std::to_string(result.signal));
  }
  return "exit status " + std::to_string(result.exitStatus);
}

}  // namespace updater
