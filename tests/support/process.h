// A child process for tests: started from an argument vector (no shell), its stdin a pipe that
// stays open while the object lives, its stdout a pipe the test reads lines from, its stderr a
// file or the test's own. Servers written for the tests exit when their stdin closes, so that a
// test that crashes leaves nothing running; the destructor also kills a child that lingers.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_PROCESS_H_
#define FILEREPOSITORY_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
 public:
  // Starts argv[0] (a path) with the arguments. `stderrPath` "" keeps the test's stderr.
  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes `text` to the child's stdin; false when the child no longer reads it.
  bool Send(const std::string& text);

  // The next line of the child's stdout without its LF; nullopt when the child closed its
  // stdout or nothing came within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

  // Closes the child's stdin and waits up to `grace` for it to exit, then kills it. Returns the
  // exit status as waitpid gives it; -1 when it had to be killed. Later calls return the same.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

  // Runs a program to its end (killed after `timeout`) and returns its exit code, -1 when it was
  // killed or did not exit normally. Its output goes to `outputPath` ("" discards it).
  static int Run(const std::vector<std::string>& argv, const std::string& outputPath = "",
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  std::string pending_;
  bool stopped_ = false;
  int status_ = -1;
};

// Moves this process into a network namespace of its own holding only loopback, up, where servers
// may take well-known ports; false without the privilege. Servers started while FR_TEST_PORT is
// set listen at that port.
bool OwnLoopbackNetwork();
// A free port on 127.0.0.1 (bound once, then closed again: nothing listens there until a server
// takes it).
std::uint16_t FreeLoopbackPort();
// Asks `done` every 20 ms until it says true; false when it did not within `limit`.
bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
// Waits until something accepts connections at `port`; false when nothing did within `limit`.
bool AcceptsWithin(std::uint16_t port, std::chrono::milliseconds limit);
// A listener that never accepts, at `address`:`port` (0: a free port; no socket when the port
// cannot be taken). A `silent` one has its accept queue full, so that a connect to it is never
// answered. Closes its sockets when it goes.
struct Listener {
  Listener(std::uint32_t address, std::uint16_t port, bool silent);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  std::uint16_t port = 0;
  std::vector<int> sockets;
};
// The number of commands in a server's `transcript` that begin with `verb` (a whole word).
std::size_t CountVerb(const std::vector<std::string>& transcript, const std::string& verb);
// The port a server child prints as its first line; 0 when none came within 30 seconds.
std::uint16_t ReadPort(ChildProcess& child);

// tests/servers/scripted_server.py serving `protocol` ("ftp" or "http"), driven command by command.
class ScriptedServerProcess {
 public:
  // Throws std::runtime_error when the server does not report its port within 30 seconds.
  explicit ScriptedServerProcess(const char* protocol);
  std::uint16_t port() const { return port_; }
  // Sends one command of `words` and returns the words of the answer. Throws when none comes.
  std::vector<std::string> Call(const std::vector<std::string>& words) const;

  // A text as a word of a command or answer: "x" and its bytes in hexadecimal; "-" for none.
  static std::string Word(const std::optional<std::string>& text);
  static std::string Text(const std::string& word);

 private:
  mutable std::mutex mutex_;
  mutable ChildProcess child_;
  std::uint16_t port_ = 0;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_PROCESS_H_
