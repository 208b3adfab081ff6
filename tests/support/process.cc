#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits up to `limit` for `pid` to exit, then kills it. Returns the exit status as waitpid gives
// it; -1 when it had to be killed.
int Reap(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  const auto exited = [&] {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    return done == pid || (done < 0 && errno != EINTR);  // or not our child any more
  };
  if (PollUntil(exited, limit)) return status;
  kill(pid, SIGKILL);
  PollUntil(exited, std::chrono::seconds(10));
  return -1;
}

// Forks and executes argv with the given descriptors as stdin, stdout and stderr (-1: /dev/null).
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err) {
  if (argv.empty()) throw std::runtime_error("no program to start");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    CloseFd(devNull);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on: the test may run other threads.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in >= 0 ? in : devNull, 0);
    dup2(out >= 0 ? out : devNull, 1);
    dup2(err >= 0 ? err : devNull, 2);
    // Descriptors of the test (sockets of servers and clients) must not live on in the child,
    // or a connection the test closes would stay open.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execv(args[0], args.data());
    _exit(127);
  }
  if (devNull >= 0) close(devNull);
  return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath) {
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const int err = stderrPath.empty()
                      ? 2
                      : open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = Spawn(argv, inPipe[0], outPipe[1], err);
  for (int fd : {inPipe[0], outPipe[1], err > 2 ? err : -1}) CloseFd(fd);
  stdinFd_ = inPipe[1];
  stdoutFd_ = outPipe[0];
}

ChildProcess::~ChildProcess() {
  Stop();
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (stdoutFd_ < 0) return std::nullopt;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd poller{stdoutFd_, POLLIN, 0};
    const int ready = poll(&poller, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t got = read(stdoutFd_, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      CloseFd(stdoutFd_);
      continue;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

bool ChildProcess::Send(const std::string& text) {
  for (std::size_t sent = 0; sent < text.size();) {
    const ssize_t done = write(stdinFd_, text.data() + sent, text.size() - sent);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    sent += static_cast<std::size_t>(done);
  }
  return true;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (stopped_) return status_;
  stopped_ = true;
  CloseFd(stdinFd_);
  if (pid_ > 0) status_ = Reap(pid_, grace);
  CloseFd(stdoutFd_);
  return status_;
}

int ChildProcess::Run(const std::vector<std::string>& argv, const std::string& outputPath,
                      std::chrono::milliseconds timeout) {
  int out = outputPath.empty()
                ? -1
                : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = Spawn(argv, -1, out, out);
  CloseFd(out);
  const int status = Reap(pid, timeout);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool OwnLoopbackNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq loopback{};
  std::strcpy(loopback.ifr_name, "lo");
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &loopback) == 0;
  loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
  up = up && ioctl(fd, SIOCSIFFLAGS, &loopback) == 0;
  if (fd >= 0) close(fd);
  return up;
}

std::uint16_t FreeLoopbackPort() {
  if (const char* fixed = std::getenv("FR_TEST_PORT"))
    return static_cast<std::uint16_t>(std::atoi(fixed));
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(address);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!bound) throw std::runtime_error("cannot find a free port");
  return ntohs(address.sin_port);
}

bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool AcceptsWithin(std::uint16_t port, std::chrono::milliseconds limit) {
  const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  return PollUntil(
      [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address),
                                           sizeof(address)) == 0;
        if (fd >= 0) close(fd);
        return ok;
      },
      limit);
}

Listener::Listener(std::uint32_t address, std::uint16_t port, bool silent) {
  sockaddr_in at{AF_INET, htons(port), {htonl(address)}, {}};
  socklen_t length = sizeof(at);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), length) != 0 || listen(fd, silent ? 0 : 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    close(fd);
    return;
  }
  this->port = ntohs(at.sin_port);
  sockets.push_back(fd);
  for (int i = 0; silent && i < 8; ++i) {
    sockets.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    connect(sockets.back(), reinterpret_cast<sockaddr*>(&at), length);
  }
}

Listener::~Listener() {
  for (int fd : sockets) close(fd);
}

std::size_t CountVerb(const std::vector<std::string>& transcript, const std::string& verb) {
  std::size_t count = 0;
  for (const std::string& command : transcript)
    count += command.substr(0, command.find(' ')) == verb;
  return count;
}

std::uint16_t ReadPort(ChildProcess& child) {
  const std::optional<std::string> line = child.ReadLine(std::chrono::seconds(30));
  const bool number = line && !line->empty() && line->size() <= 5 &&
                      line->find_first_not_of("0123456789") == std::string::npos;
  return number ? static_cast<std::uint16_t>(std::stoul(*line)) : 0;
}

ScriptedServerProcess::ScriptedServerProcess(const char* protocol)
    : child_({"/usr/bin/python3", FR_TEST_SERVERS_DIR "/scripted_server.py", protocol}),
      port_(ReadPort(child_)) {
  signal(SIGPIPE, SIG_IGN);  // a server that died fails the next command, not the whole test
  if (port_ == 0) throw std::runtime_error("the scripted server did not start");
}

std::vector<std::string> ScriptedServerProcess::Call(const std::vector<std::string>& words) const {
  std::string command;
  for (const std::string& word : words) command += word + " ";
  command.back() = '\n';
  std::lock_guard lock(mutex_);
  std::optional<std::string> answer;
  if (child_.Send(command)) answer = child_.ReadLine(std::chrono::seconds(30));
  if (!answer) throw std::runtime_error("the scripted server does not answer " + words[0]);
  std::istringstream in(*answer);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::string ScriptedServerProcess::Word(const std::optional<std::string>& text) {
  if (!text) return "-";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string word = "x";
  for (unsigned char c : *text) word += {kHex[c >> 4], kHex[c & 15]};
  return word;
}

std::string ScriptedServerProcess::Text(const std::string& word) {
  std::string text;
  for (std::size_t at = 1; at + 1 < word.size(); at += 2) {
    text.push_back(static_cast<char>(std::stoi(word.substr(at, 2), nullptr, 16)));
  }
  return text;
}

}  // namespace testing_support
