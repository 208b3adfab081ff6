#include "support/scripted_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr std::size_t kMaxCommandLine = 64 * 1024;
constexpr int kDataWaitMs = 30000;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

int ListeningSocket(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// "/a/b" from a working directory and a CWD or file argument.
std::string Resolve(const std::string& cwd, const std::string& argument) {
  std::vector<std::string> parts;
  auto add = [&parts](const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
      std::size_t slash = path.find('/', start);
      if (slash == std::string::npos) slash = path.size();
      const std::string part = path.substr(start, slash - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = slash + 1;
    }
  };
  if (argument.empty() || argument[0] != '/') add(cwd);
  add(argument);
  std::string resolved;
  for (const std::string& part : parts) resolved += "/" + part;
  return resolved.empty() ? "/" : resolved;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

// One control connection.
class ScriptedSession {
 public:
  ScriptedSession(ScriptedFtpServer& server, int control) : server_(server), control_(control) {}
  void Run();

 private:
  enum class Wait { kReady, kClosed };
  Wait WaitReadable(int fd, int timeoutMs);
  std::optional<std::string> ReadLine();
  bool Send(int fd, const std::string& data);
  bool Reply(const std::string& text) { return Send(control_, text); }
  // Waits until the client closes the control connection or the server stops.
  void StallUntilClosed();
  bool Handle(const std::string& verb, const std::string& argument);
  int OpenData();
  void CloseData(int& fd);
  bool Transfer(const std::string& body);
  bool SendListing(bool mlsd);
  bool SendFile(const std::string& path);
  std::string Listing(const std::string& directory, bool mlsd);

  ScriptedFtpServer& server_;
  int control_;
  std::string input_;
  std::string cwd_ = "/";
  bool loggedIn_ = false;
  int passive_ = -1;
};

ScriptedSession::Wait ScriptedSession::WaitReadable(int fd, int timeoutMs) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {server_.stopEvent_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (fds[1].revents & POLLIN) != 0) return Wait::kClosed;
    return Wait::kReady;
  }
}

std::optional<std::string> ScriptedSession::ReadLine() {
  for (;;) {
    const std::size_t newline = input_.find('\n');
    if (newline != std::string::npos) {
      std::string line = input_.substr(0, newline);
      input_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (input_.size() > kMaxCommandLine) return std::nullopt;
    if (WaitReadable(control_, -1) != Wait::kReady) return std::nullopt;
    char buffer[4096];
    const ssize_t got = recv(control_, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    input_.append(buffer, static_cast<std::size_t>(got));
  }
}

bool ScriptedSession::Send(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t done = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    sent += static_cast<std::size_t>(done);
  }
  return true;
}

void ScriptedSession::StallUntilClosed() {
  char buffer[4096];
  while (WaitReadable(control_, -1) == Wait::kReady) {
    const ssize_t got = recv(control_, buffer, sizeof(buffer), 0);
    if (got == 0 || (got < 0 && errno != EINTR)) return;
  }
}

int ScriptedSession::OpenData() {
  if (passive_ < 0) return -1;
  const int listener = passive_;
  passive_ = -1;
  int data = -1;
  if (WaitReadable(listener, kDataWaitMs) == Wait::kReady) {
    data = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  }
  server_.CloseFd(listener);
  if (data >= 0) server_.RegisterFd(data);
  return data;
}

void ScriptedSession::CloseData(int& fd) {
  if (fd >= 0) server_.CloseFd(fd);
  fd = -1;
}

bool ScriptedSession::Transfer(const std::string& body) {
  if (!Reply("150 Opening data connection.\r\n")) return false;
  int data = OpenData();
  if (data < 0) return Reply("425 Cannot open data connection.\r\n");
  const bool sent = Send(data, body);
  CloseData(data);
  return Reply(sent ? "226 Transfer complete.\r\n" : "426 Transfer aborted.\r\n");
}

std::string ScriptedSession::Listing(const std::string& directory, bool mlsd) {
  std::lock_guard<std::mutex> lock(server_.mutex_);
  std::string text;
  char line[512];
  for (const std::string& sub : server_.directories_) {
    if (sub == "/" || Parent(sub) != directory) continue;
    const std::string name = BaseName(sub);
    if (mlsd) {
      text += "type=dir;modify=20260105123400; " + name + "\r\n";
    } else {
      text += "drwxr-xr-x    2 owner    group        4096 Jan 05 12:34 " + name + "\r\n";
    }
  }
  for (const auto& [path, file] : server_.files_) {
    if (Parent(path) != directory) continue;
    const unsigned long long size = file.listedSize.value_or(file.content.size());
    const std::string name = BaseName(path);
    if (mlsd) {
      std::snprintf(line, sizeof(line), "type=file;size=%llu;modify=20260105123400; ", size);
    } else {
      std::snprintf(line, sizeof(line), "-rw-r--r--    1 owner    group    %10llu Jan 05 12:34 ",
                    size);
    }
    text += line + name + "\r\n";
  }
  return text;
}

bool ScriptedSession::SendListing(bool mlsd) {
  return Transfer(Listing(cwd_, mlsd));
}

bool ScriptedSession::SendFile(const std::string& path) {
  std::optional<ScriptedFile> found;
  bool faulty = false;
  {
    std::lock_guard<std::mutex> lock(server_.mutex_);
    const auto file = server_.files_.find(path);
    if (file != server_.files_.end()) {
      found = file->second;
      faulty = file->second.faultTimes != 0;
      if (file->second.faultTimes > 0) --file->second.faultTimes;
    }
  }
  if (!found) return Reply("550 No such file.\r\n");
  const ScriptedFile& file = *found;
  if (file.fault == ScriptedFile::Fault::kNone || !faulty) return Transfer(file.content);

  if (!Reply("150 Opening BINARY mode data connection.\r\n")) return false;
  int data = OpenData();
  if (data < 0) return Reply("425 Cannot open data connection.\r\n");
  const std::string head = file.content.substr(0, file.faultOffset);
  switch (file.fault) {
    case ScriptedFile::Fault::kNone:
      break;
    case ScriptedFile::Fault::kBreakAfter:
      Send(data, head);
      CloseData(data);
      return Reply("426 Connection closed; transfer aborted.\r\n");
    case ScriptedFile::Fault::kDropAfter:
      Send(data, head);
      CloseData(data);
      return false;
    case ScriptedFile::Fault::kStallAfter:
      Send(data, head);
      StallUntilClosed();
      CloseData(data);
      return false;
    case ScriptedFile::Fault::kDripAfter: {
      bool sent = Send(data, head);
      for (std::size_t at = head.size(); sent && at < file.content.size(); ++at) {
        pollfd stop{server_.stopEvent_, POLLIN, 0};
        sent = poll(&stop, 1, 1000) == 0 && Send(data, file.content.substr(at, 1));
      }
      CloseData(data);
      return sent && Reply("226 Transfer complete.\r\n");
    }
    case ScriptedFile::Fault::kEndlessAfter: {
      const std::string filler(64 * 1024, 'e');
      for (bool sent = Send(data, head); sent && !server_.stopping_;) sent = Send(data, filler);
      CloseData(data);
      return false;
    }
  }
  CloseData(data);
  return false;
}

bool ScriptedSession::Handle(const std::string& verb, const std::string& argument) {
  if (verb == "USER") {
    loggedIn_ = false;
    return Reply("331 Password required.\r\n");
  }
  if (verb == "PASS") {
    loggedIn_ = true;
    return Reply("230 Logged in.\r\n");
  }
  if (verb == "QUIT") {
    Reply("221 Goodbye.\r\n");
    return false;
  }
  if (!loggedIn_) return Reply("530 Please log in first.\r\n");

  if (verb == "PWD") return Reply("257 \"" + cwd_ + "\" is the current directory.\r\n");
  if (verb == "CWD") {
    const std::string target = Resolve(cwd_, argument);
    bool exists = false;
    {
      std::lock_guard<std::mutex> lock(server_.mutex_);
      exists = server_.directories_.count(target) != 0;
    }
    if (!exists) return Reply("550 No such directory.\r\n");
    cwd_ = target;
    return Reply("250 Directory changed.\r\n");
  }
  if (verb == "TYPE") return Reply("200 Type set.\r\n");
  if (verb == "EPSV" || verb == "PASV") {
    if (passive_ >= 0) server_.CloseFd(passive_);
    std::uint16_t port = 0;
    passive_ = ListeningSocket(&port);
    if (passive_ < 0) return Reply("425 Cannot open passive connection.\r\n");
    server_.RegisterFd(passive_);
    if (verb == "EPSV") {
      return Reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n");
    }
    return Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
                 std::to_string(port & 0xFF) + ").\r\n");
  }
  if (verb == "MLSD") return SendListing(true);
  if (verb == "LIST") return SendListing(false);
  if (verb == "RETR") return SendFile(Resolve(cwd_, argument));
  return Reply("502 Command not implemented.\r\n");
}

void ScriptedSession::Run() {
  if (Reply("220 Scripted server ready.\r\n")) {
    while (std::optional<std::string> line = ReadLine()) {
      const std::size_t space = line->find(' ');
      const std::string verb = Upper(line->substr(0, space));
      const std::string argument = space == std::string::npos ? "" : line->substr(space + 1);
      server_.Record(verb == "PASS" ? "PASS ****" : *line);
      if (std::optional<ScriptedRule> rule = server_.MatchRule(verb, argument)) {
        if (rule->action == ScriptedRule::Action::kStall) {
          StallUntilClosed();
          break;
        }
        if (!rule->reply.empty() && !Reply(rule->reply)) break;
        continue;
      }
      if (!Handle(verb, argument)) break;
    }
  }
  if (passive_ >= 0) server_.CloseFd(passive_);
  server_.CloseFd(control_);
}

ScriptedFtpServer::ScriptedFtpServer() {
  stopEvent_ = eventfd(0, EFD_CLOEXEC);
  listener_ = ListeningSocket(&port_);
  if (stopEvent_ < 0 || listener_ < 0) {
    if (stopEvent_ >= 0) close(stopEvent_);
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error("the scripted FTP server cannot listen");
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stopping_ = true;
  const std::uint64_t one = 1;
  if (write(stopEvent_, &one, sizeof(one)) < 0) {
    // Nothing else wakes the threads; shutting the sockets down below still ends them.
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
  }
  acceptor_.join();
  std::vector<std::thread> sessions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions.swap(sessions_);
  }
  for (std::thread& session : sessions) session.join();
  close(listener_);
  close(stopEvent_);
}

void ScriptedFtpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[1].revents & POLLIN) != 0) return;
    const int control = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (control < 0) continue;
    // Replies go out at once: Nagle's algorithm would hold "226" behind an unacknowledged "150".
    const int one = 1;
    setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ++connections_;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(control);
      return;
    }
    openFds_.insert(control);
    sessions_.emplace_back([this, control] { ScriptedSession(*this, control).Run(); });
  }
}

void ScriptedFtpServer::RegisterFd(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  openFds_.insert(fd);
  if (stopping_) shutdown(fd, SHUT_RDWR);
}

void ScriptedFtpServer::CloseFd(int fd) {
  // Under the lock, so that the destructor never shuts down a number already reused.
  std::lock_guard<std::mutex> lock(mutex_);
  openFds_.erase(fd);
  close(fd);
}

void ScriptedFtpServer::Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  transcript_.push_back(line);
}

std::optional<ScriptedRule> ScriptedFtpServer::MatchRule(const std::string& verb,
                                                         const std::string& argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (ScriptedRule& rule : rules_) {
    if (rule.times == 0 || rule.verb != verb) continue;
    if (rule.argument && *rule.argument != argument) continue;
    if (rule.times > 0) --rule.times;
    return rule;
  }
  return std::nullopt;
}

void ScriptedFtpServer::AddDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::string directory = Resolve("/", path); directory != "/";
       directory = Parent(directory)) {
    directories_.insert(directory);
  }
}

void ScriptedFtpServer::AddFile(const std::string& path, ScriptedFile file) {
  const std::string resolved = Resolve("/", path);
  AddDirectory(Parent(resolved));
  std::lock_guard<std::mutex> lock(mutex_);
  files_[resolved] = std::move(file);
}

void ScriptedFtpServer::AddFile(const std::string& path, const std::string& content) {
  ScriptedFile file;
  file.content = content;
  AddFile(path, std::move(file));
}

void ScriptedFtpServer::AddRule(ScriptedRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(std::move(rule));
}

void ScriptedFtpServer::Reply(const std::string& verb, const std::string& reply) {
  ScriptedRule rule;
  rule.verb = verb;
  rule.reply = reply;
  AddRule(std::move(rule));
}

void ScriptedFtpServer::Stall(const std::string& verb) {
  ScriptedRule rule;
  rule.verb = verb;
  rule.action = ScriptedRule::Action::kStall;
  AddRule(std::move(rule));
}

std::vector<std::string> ScriptedFtpServer::Transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

std::size_t ScriptedFtpServer::CountCommands(const std::string& verb) const {
  std::size_t count = 0;
  for (const std::string& line : Transcript()) {
    const std::size_t space = line.find(' ');
    if (Upper(line.substr(0, space)) == verb) ++count;
  }
  return count;
}

std::uint16_t ScriptedFtpServer::RefusingPort() {
  std::uint16_t port = 0;
  const int fd = ListeningSocket(&port);
  if (fd < 0) throw std::runtime_error("cannot find a free port");
  close(fd);
  return port;
}

}  // namespace testing_support
