// The reachability probe against listeners on loopback: established connections count, refusals
// and names that do not resolve fail at once, and a listener that never completes the handshake
// fails after the time limit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "ftp/reachability.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loopback listener on a free port; with `backlog` 0 and the queue filled, further handshakes
// are never completed, which is what an unresponsive server looks like to a client.
class Listener {
 public:
  explicit Listener(int backlog = 16) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, backlog);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    for (int fd : fillers_) close(fd);
    close(fd_);
  }
  std::uint16_t port() const { return port_; }
  // Fills the accept queue so that the next handshake stays unanswered.
  void Fill() {
    for (int i = 0; i < 8; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port_);
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
      fillers_.push_back(fd);
    }
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

std::uint16_t ClosedPort() {
  Listener listener;
  return listener.port();  // closed again when the listener goes
}

TEST(ReachabilityTest, ListenerOnDottedAddressOrNameIsReachable) {
  Listener listener;
  EXPECT_TRUE(IsServerReachable("127.0.0.1", listener.port(), 2000));
  EXPECT_TRUE(IsServerReachable("localhost", listener.port(), 2000));
  // inet_addr's shorter dotted forms are addresses too.
  EXPECT_TRUE(IsServerReachable("127.1", listener.port(), 2000));
}

TEST(ReachabilityTest, RefusedPortAndUnresolvableNameFailWithoutWaitingTheLimit) {
  const std::uint16_t port = ClosedPort();
  auto start = Clock::now();
  EXPECT_FALSE(IsServerReachable("127.0.0.1", port, 20000));
  EXPECT_FALSE(IsServerReachable("no-such-host.invalid", port, 20000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
}

TEST(ReachabilityTest, AddressesThatAreNeverTriedGiveFalse) {
  Listener listener;
  EXPECT_FALSE(IsServerReachable("0.0.0.0", listener.port(), 200));
  EXPECT_FALSE(IsServerReachable("255.255.255.255", listener.port(), 200));
  EXPECT_FALSE(IsServerReachable(nullptr, listener.port(), 200));
}

TEST(ReachabilityTest, HandshakeThatNeverCompletesFailsAfterTheLimit) {
  Listener listener(0);
  listener.Fill();
  const auto start = Clock::now();
  EXPECT_FALSE(IsServerReachable("127.0.0.1", listener.port(), 300));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(15));
}

TEST(ReachabilityTest, ZeroLimitPollsOnceWithoutWaiting) {
  Listener listener(0);
  listener.Fill();
  const auto start = Clock::now();
  EXPECT_FALSE(IsServerReachable("127.0.0.1", listener.port(), 0));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
