#include "support/scripted_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kChunkSize = 1000;

std::string Hex(std::size_t value) {
  char text[32];
  snprintf(text, sizeof(text), "%zx", value);
  return text;
}

}  // namespace

// One connection: requests one after the other until either side closes.
class HttpSession {
 public:
  HttpSession(ScriptedHttpServer& server, int fd, std::size_t id)
      : server_(server), fd_(fd), id_(id) {}
  void Run();

 private:
  bool WaitReadable();
  std::optional<std::string> ReadHead();
  bool Send(const std::string& data);
  void StallUntilClosed();
  // False when the connection is to end.
  bool Respond(const ScriptedResponse& response);

  ScriptedHttpServer& server_;
  int fd_;
  std::size_t id_;
  std::string input_;
};

bool HttpSession::WaitReadable() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {server_.stopEvent_, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (fds[1].revents & POLLIN) == 0;
  }
}

std::optional<std::string> HttpSession::ReadHead() {
  for (;;) {
    const std::size_t end = input_.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::string head = input_.substr(0, end + 2);
      input_.erase(0, end + 4);
      return head;
    }
    if (input_.size() > kMaxRequestHead || !WaitReadable()) return std::nullopt;
    char buffer[4096];
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    input_.append(buffer, static_cast<std::size_t>(got));
  }
}

bool HttpSession::Send(const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t done = send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    sent += static_cast<std::size_t>(done);
  }
  return true;
}

void HttpSession::StallUntilClosed() {
  char buffer[4096];
  while (WaitReadable()) {
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    if (got == 0 || (got < 0 && errno != EINTR)) return;
  }
}

bool HttpSession::Respond(const ScriptedResponse& response) {
  using Fault = ScriptedResponse::Fault;
  using Framing = ScriptedResponse::Framing;
  if (response.fault == Fault::kStallBeforeHead) {
    StallUntilClosed();
    return false;
  }
  if (response.fault == Fault::kCloseBeforeHead) return false;
  if (response.raw) return Send(*response.raw) && !response.close;

  std::string head =
      "HTTP/1.1 " + std::to_string(response.status) + " Scripted\r\n";  // any reason will do
  if (response.framing == Framing::kContentLength) {
    head +=
        "Content-Length: " + response.contentLength.value_or(std::to_string(response.body.size())) +
        "\r\n";
  } else if (response.framing == Framing::kChunked) {
    head += "Transfer-Encoding: chunked\r\n";
  }
  for (const std::string& line : response.headers) head += line + "\r\n";
  const bool close = response.close || response.framing == Framing::kUntilClose;
  if (close) head += "Connection: close\r\n";
  head += "\r\n";

  std::string body = response.body;
  const bool faulty = response.fault != Fault::kNone;
  if (faulty) body.resize(std::min(body.size(), response.faultOffset));
  std::string wire;
  if (response.framing == Framing::kChunked) {
    for (std::size_t at = 0; at < body.size(); at += kChunkSize) {
      const std::size_t size = std::min(kChunkSize, body.size() - at);
      wire += Hex(size) + "\r\n" + body.substr(at, size) + "\r\n";
    }
    if (!faulty) wire += "0\r\n\r\n";
  } else {
    wire = body;
  }
  if (!Send(head + wire)) return false;
  if (response.fault == Fault::kStallAfter) {
    StallUntilClosed();
    return false;
  }
  if (response.fault == Fault::kEndlessAfter) {
    const std::string filler(64 * 1024, 'e');
    while (!server_.stopping_ && Send(filler)) {
    }
    return false;
  }
  return !faulty && !close;
}

void HttpSession::Run() {
  while (std::optional<std::string> head = ReadHead()) {
    ScriptedRequest request{id_, "", {}};
    std::size_t start = 0;
    for (std::size_t end; (end = head->find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = head->substr(start, end - start);
      if (request.line.empty()) {
        request.line = line;
      } else {
        request.headers.push_back(line);
      }
    }
    const std::size_t space = request.line.find(' ');
    const std::string target =
        request.line.substr(space + 1, request.line.find(' ', space + 1) - space - 1);
    {
      std::lock_guard<std::mutex> lock(server_.mutex_);
      server_.requests_.push_back(request);
    }
    if (!Respond(server_.Answer(target))) break;
  }
  server_.CloseFd(fd_);
}

ScriptedHttpServer::ScriptedHttpServer() {
  default_.status = 404;
  default_.body = "Not found.\n";
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  stopEvent_ = eventfd(0, EFD_CLOEXEC);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || stopEvent_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) close(listener_);
    if (stopEvent_ >= 0) close(stopEvent_);
    throw std::runtime_error("the scripted HTTP server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  stopping_ = true;
  const std::uint64_t one = 1;
  if (write(stopEvent_, &one, sizeof(one)) < 0) {
    // Nothing else can wake the threads; they end with the process.
  }
  acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& session : sessions_) session.join();
  close(listener_);
  close(stopEvent_);
}

void ScriptedHttpServer::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN) != 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.insert(fd);
    const std::size_t id = ++accepted_;
    sessions_.emplace_back([this, fd, id] { HttpSession(*this, fd, id).Run(); });
  }
}

void ScriptedHttpServer::CloseFd(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (openFds_.erase(fd) != 0) close(fd);
}

void ScriptedHttpServer::Serve(const std::string& target, ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[target].push_back(std::move(response));
}

void ScriptedHttpServer::ServeBody(const std::string& target, const std::string& body) {
  ScriptedResponse response;
  response.body = body;
  Serve(target, response);
}

void ScriptedHttpServer::SetDefault(ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(response);
}

ScriptedResponse ScriptedHttpServer::Answer(const std::string& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = answers_.find(target);
  if (found == answers_.end() || found->second.empty()) return default_;
  ScriptedResponse response = found->second.front();
  if (found->second.size() > 1) found->second.pop_front();
  return response;
}

std::vector<ScriptedRequest> ScriptedHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedHttpServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const ScriptedRequest& request : Requests()) lines.push_back(request.line);
  return lines;
}

std::size_t ScriptedHttpServer::RequestConnections() const {
  std::set<std::size_t> connections;
  for (const ScriptedRequest& request : Requests()) connections.insert(request.connection);
  return connections.size();
}

}  // namespace testing_support
