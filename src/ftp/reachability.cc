#include "ftp/reachability.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace {

constexpr std::size_t kMostAddresses = 10;

// The addresses to try, in order: the dotted address itself, or what the resolver gives (IPv4
// only; getaddrinfo is thread-safe, which the two slot threads need). False when the name does not
// resolve.
bool BuildAddressList(const char* host, std::vector<in_addr_t>* addresses) {
  const in_addr_t dotted = inet_addr(host);
  if (dotted != INADDR_NONE) {
    addresses->push_back(dotted);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* resolved = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &resolved) != 0 || resolved == nullptr) return false;
  for (addrinfo* entry = resolved; entry != nullptr && addresses->size() < kMostAddresses;
       entry = entry->ai_next) {
    addresses->push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
  }
  freeaddrinfo(resolved);
  return true;
}

// Waits up to `timeoutMs` for the socket to become writable; poll rather than select, so that a
// process with many open descriptors cannot overflow an fd_set. With a stop to watch, it waits in
// slices short enough to notice it. A negative `fd` only waits out the time.
bool WaitWritable(int fd, std::uint32_t timeoutMs, StopGrace* stop) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kSlice{10};
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (stop != nullptr && stop->Expired(now)) return false;
    const auto left = std::max(std::chrono::milliseconds(0),
                               std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    const auto wait = stop != nullptr ? std::min(left, kSlice) : left;
    pollfd entry{fd, POLLOUT, 0};
    const int ready = poll(&entry, 1, static_cast<int>(wait.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && Clock::now() >= deadline) return false;
  }
}

// Linux reports a refused or never-started connection as writable too: only a socket with no
// pending error and a peer counts as connected.
bool IsEstablished(int fd) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  sockaddr_in peer{};
  socklen_t peerLength = sizeof(peer);
  return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
}

}  // namespace

bool IsServerReachable(const char* host, std::uint16_t port, std::uint32_t timeoutMs,
                       StopGrace* stop) {
  if (host == nullptr) return false;
  std::vector<in_addr_t> addresses;
  if (!BuildAddressList(host, &addresses)) return false;

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);

  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  // All on the one socket: once the first connect is in progress, later ones fail, so in practice
  // the wait concerns the first address that is tried.
  bool tried = false;
  for (const in_addr_t address : addresses) {
    if (address == 0) break;                    // 0.0.0.0 ends the list
    if (address == INADDR_BROADCAST) continue;  // 255.255.255.255 is never tried
    target.sin_addr.s_addr = address;
    tried = true;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) == 0) break;
  }

  // Without a connection attempt (0.0.0.0, 255.255.255.255) nothing can become writable, and the
  // wait runs out its whole time as it would for a server that never answers: poll ignores a
  // negative descriptor.
  const bool reachable = WaitWritable(tried ? fd : -1, timeoutMs, stop) && IsEstablished(fd);
  close(fd);
  return reachable;
}
