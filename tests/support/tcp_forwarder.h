// A fixed address for a server that a test replaces: a port on 127.0.0.1 that forwards each
// connection to the current backend port. Taking the backend server away cuts the connections
// made through it, as a server that stops does; pointing the forwarder at a new backend then
// brings "the same server" back at the same address, as a restart does.
//
// FTP passes through: the passive data connections go straight to the backend, whose port the
// EPSV/PASV reply names, and end with it.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_TCP_FORWARDER_H_
#define FILEREPOSITORY_TESTS_SUPPORT_TCP_FORWARDER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_support {

class TcpForwarder {
 public:
  // Listens on 127.0.0.1 at a free port. Throws std::runtime_error when it cannot.
  TcpForwarder();
  // Closes the port and every forwarded connection.
  ~TcpForwarder();
  TcpForwarder(const TcpForwarder&) = delete;
  TcpForwarder& operator=(const TcpForwarder&) = delete;

  std::uint16_t port() const { return port_; }
  // Where connections accepted from now on go; 0 (the start) closes them at once, as a port
  // where nothing listens would refuse them.
  void SetBackend(std::uint16_t port) { backend_ = port; }
  // How many connections were accepted.
  std::size_t Connections() const { return connections_; }

 private:
  void AcceptLoop();
  void Pump(int client, int server);

  int listener_ = -1;
  int stop_ = -1;  // an eventfd: readable once stopping
  std::uint16_t port_ = 0;
  std::atomic<std::uint16_t> backend_{0};
  std::atomic<std::size_t> connections_{0};
  std::mutex mutex_;
  std::vector<std::thread> pumps_;
  std::thread acceptor_;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_TCP_FORWARDER_H_
