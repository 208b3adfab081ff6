// Drives the repository-updater program as a user would: as a child process, with its stdout and
// stderr kept apart byte for byte.
#ifndef FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_
#define FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace program_test {

// Polls `condition` until it holds or `timeout` passes; true when it held.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::minutes(2)) {
  return testing_support::PollUntil(condition, timeout);
}

// A started program. A shell started in its place sends its stdout and stderr to files, then
// becomes the program (same process).
class Updater {
 public:
  explicit Updater(const std::vector<std::string>& arguments) : child_(Argv(arguments)) {}

  pid_t pid() const { return child_.pid(); }
  void Signal(int sig) { ::kill(child_.pid(), sig); }
  // The exit status; -1 when a signal ended it, or when it still ran after `timeout` and was
  // killed.
  int Wait(std::chrono::milliseconds timeout = std::chrono::minutes(5)) {
    const int status = child_.Stop(timeout);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Out() const { return testing_support::ReadFile(dir_ / "stdout"); }
  std::string Err() const { return testing_support::ReadFile(dir_ / "stderr"); }

 private:
  std::vector<std::string> Argv(const std::vector<std::string>& arguments) const {
    static constexpr const char* kScript = "exec >\"$0\" 2>\"$1\"; shift; exec \"$@\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", kScript, dir_ / "stdout", dir_ / "stderr"};
    argv.push_back(FR_BINARY_DIR "/repository-updater");
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

  testing_support::TempDir dir_;
  testing_support::ChildProcess child_;
};

struct Result {
  int status;
  std::string out, err;
};

// Runs the program to its end; with `config`, as "COMMAND -c CONFIG ARGUMENTS...".
inline Result RunUpdater(std::vector<std::string> arguments, const std::string& config = "") {
  if (!config.empty()) arguments.insert(arguments.begin() + 1, {"-c", config});
  Updater updater(arguments);
  return {updater.Wait(), updater.Out(), updater.Err()};  // a braced list runs in order
}

// Writes `files` into the directory `remote` (its path ending in '/') with a trigger file made by
// the program's checksum command.
inline void Publish(const std::string& remote, const std::map<std::string, std::string>& files) {
  std::vector<std::string> checksum = {"checksum"};
  for (const auto& [name, content] : files) {
    testing_support::WriteFile(remote + name, content);
    checksum.push_back(remote + name);
  }
  testing_support::WriteFile(remote + "trigger.crc", RunUpdater(checksum).out);
}

// Writes DIR/updater.toml: the store in store.db, the log in log, `tables`, then MailFilter0 ("Mail
// Filter") fetching `server` (a TOML value) /updates into filter/definitions, `keys` last.
inline std::string WriteConfig(const testing_support::TempDir& dir, const std::string& tables,
                               const std::string& server, const std::string& keys) {
  testing_support::WriteFile(
      dir / "updater.toml",
      "[store]\npath = \"store.db\"\n[log]\nfile = \"log\"\n" + tables +
          "[[processor]]\nname = \"MailFilter0\"\ndisplay_name = \"Mail Filter\"\nremote_dir = "
          "\"updates\"\nroot_dir = \"filter\"\ntrigger_file = \"trigger.crc\"\nextensions = "
          "\"dat,cfg\"\nserver = " +
          server + "\n" + keys);
  return dir / "updater.toml";
}

// How often a server's transcript holds `command` ("RETR b.dat").
inline long Count(const std::vector<std::string>& transcript, const std::string& command) {
  return std::count(transcript.begin(), transcript.end(), command);
}

}  // namespace program_test

#endif  // FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_
