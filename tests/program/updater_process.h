// Drives the repository-updater program as a user would: as a child process, with its stdout and
// stderr kept apart byte for byte.
#ifndef FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_
#define FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "integrity/crc32.h"
#include "integrity/trigger_file_data.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace program_test {

inline std::string UpdaterPath() {
  return FR_BINARY_DIR "/repository-updater";
}

// A started program. Its stdout and stderr go to files in a directory of its own; the
// destructor kills it if it is still running.
class Updater {
 public:
  explicit Updater(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {UpdaterPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (std::string& argument : argv) args.push_back(argument.data());
    args.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(OutPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(ErrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls here: the test may run server threads.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a crashed test leaves no service running
      if (::getppid() != parent) ::_exit(127);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::syscall(SYS_close_range, 3U, ~0U, 0U);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    for (int fd : {in, out, err}) ::close(fd);
    if (pid_ < 0) throw std::runtime_error("fork failed");
  }
  ~Updater() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      Wait(std::chrono::seconds(30));
    }
  }
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Signal(int sig) { ::kill(pid_, sig); }

  // The exit status; -1 when it ended by a signal, -2 when it was still running after `timeout`.
  int Wait(std::chrono::milliseconds timeout = std::chrono::minutes(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      } else if (std::chrono::steady_clock::now() >= deadline) {
        return -2;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    return status_;
  }

  std::string Out() const { return testing_support::ReadFile(OutPath()); }
  std::string Err() const { return testing_support::ReadFile(ErrPath()); }

 private:
  std::string OutPath() const { return dir_ / "stdout"; }
  std::string ErrPath() const { return dir_ / "stderr"; }

  testing_support::TempDir dir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Runs the program to its end.
inline Result RunUpdater(const std::vector<std::string>& arguments) {
  Updater updater(arguments);
  const int status = updater.Wait();
  return {status, updater.Out(), updater.Err()};
}

// Polls `condition` until it holds or `timeout` passes; true when it held.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::minutes(2)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Publishes "content of NAME" as /updates/NAME for each name, with the trigger file
// /updates/trigger.crc naming them all; the download of `stalled` stops after its third byte.
inline void PublishWithStalledFile(testing_support::ScriptedFtpServer& server,
                                   std::initializer_list<const char*> names,
                                   const std::string& stalled) {
  CTriggerFileData trigger;
  for (const char* name : names) {
    const std::string content = std::string("content of ") + name;
    trigger.SetAt(name, CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
    testing_support::ScriptedFile file;
    file.content = content;
    if (name == stalled) {
      file.fault = testing_support::ScriptedFile::Fault::kStallAfter;
      file.faultOffset = 3;
    }
    server.AddFile(std::string("/updates/") + name, file);
  }
  server.AddFile("/updates/trigger.crc", trigger.Format());
}

}  // namespace program_test

#endif  // FILEREPOSITORY_TESTS_PROGRAM_UPDATER_PROCESS_H_
