#include "support/tcp_forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int ConnectTo(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t sent = send(fd, data, count, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

TcpForwarder::TcpForwarder() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int cause = errno;
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error(std::string("forwarder socket: ") + std::strerror(cause));
  }
  port_ = ntohs(address.sin_port);
  stop_ = eventfd(0, EFD_CLOEXEC);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TcpForwarder::~TcpForwarder() {
  const std::uint64_t one = 1;
  if (write(stop_, &one, sizeof one) < 0) {
    // An eventfd below its maximum always takes the write.
  }
  acceptor_.join();
  std::vector<std::thread> pumps;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pumps.swap(pumps_);
  }
  for (std::thread& pump : pumps) pump.join();
  close(listener_);
  close(stop_);
}

void TcpForwarder::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    const std::uint16_t backend = backend_;
    const int server = backend != 0 ? ConnectTo(backend) : -1;
    if (server < 0) {
      close(client);
      continue;
    }
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    pumps_.emplace_back([this, client, server] { Pump(client, server); });
  }
}

// Copies both ways until either side ends or fails, then closes both: a half-closed pair would
// hide the backend's end from the client.
void TcpForwarder::Pump(int client, int server) {
  char buffer[16384];
  for (bool open = true; open;) {
    pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[2].revents & POLLIN) != 0) break;
    for (int side = 0; side < 2 && open; ++side) {
      if (fds[side].revents == 0) continue;
      const ssize_t got = recv(fds[side].fd, buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      open = got > 0 && SendAll(fds[1 - side].fd, buffer, static_cast<std::size_t>(got));
    }
  }
  close(client);
  close(server);
}

}  // namespace testing_support
