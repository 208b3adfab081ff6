// nginx (Debian's nginx-light) for tests: a real HTTP server on 127.0.0.1 at a free port, serving
// a directory, plain or with TLS, run as the launching user with a configuration, logs and
// temporary directories of its own in a temporary directory. It runs as one process, a child
// of the test that the test's death kills, so a test that crashes leaves no nginx behind; the
// destructor stops it. That signal follows the thread that started it: make the server on a
// thread that outlives it. Its access log is the transcript: request lines and the connection each
// came on, so a test can see keep-alive at work.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_NGINX_SERVER_H_
#define FILEREPOSITORY_TESTS_SUPPORT_NGINX_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace testing_support {

struct NginxOptions {
  std::string root;  // the directory served
  // https when both are set; a plain request is then sent on to https at the same port, and
  // updates/moved.dat to updates/a.dat with the port named.
  std::string tlsCert;
  std::string tlsKey;
};

class NginxServer {
 public:
  static constexpr const char* kProgram = "/usr/sbin/nginx";
  static bool Available();

  // Throws std::runtime_error when nginx does not accept connections within 30 seconds.
  explicit NginxServer(const NginxOptions& options);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://...".
  std::string url() const;
  // The request lines served so far, in order ("GET /updates/a.dat HTTP/1.1"). nginx logs a
  // request once it has sent the response, a moment after the client may have it all: this
  // waits (up to 30 seconds) until at least `atLeast` requests are logged.
  std::vector<std::string> RequestLines(std::size_t atLeast = 0) const;
  // How many connections carried the requests logged so far.
  std::size_t RequestConnections() const;

 private:
  TempDir work_;
  bool tls_ = false;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_NGINX_SERVER_H_
