#include "program/shell_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace updater {
namespace {

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

pid_t Spawn(const std::string& command, const EnvironmentVariables& variables) {
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
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  // The service blocks its stop signals in every thread and the child would inherit that mask:
  // a callback must be stoppable like any other process.
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

void KillGroupAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

CommandOutcome RunShellCommand(const std::string& command, const EnvironmentVariables& variables,
                               std::chrono::milliseconds limit, const std::atomic<bool>* cancel) {
  const pid_t pid = Spawn(command, variables);
  if (pid < 0) return CommandOutcome::kNotStarted;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? CommandOutcome::kSucceeded
                                                           : CommandOutcome::kFailed;
    }
    if (done < 0 && errno != EINTR) return CommandOutcome::kFailed;
    if (cancel != nullptr && cancel->load()) {
      KillGroupAndReap(pid);
      return CommandOutcome::kCancelled;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      KillGroupAndReap(pid);
      return CommandOutcome::kTimedOut;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
}

}  // namespace updater
