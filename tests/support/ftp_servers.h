// A real FTP server for tests, pyftpdlib (tests/servers/ftp_server.py), started on 127.0.0.1 at a
// free port and stopped by the destructor. It records the commands it receives, with passwords
// masked, so a test can count them (one login for a whole run, no listing fetched twice).
#ifndef FILEREPOSITORY_TESTS_SUPPORT_FTP_SERVERS_H_
#define FILEREPOSITORY_TESTS_SUPPORT_FTP_SERVERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace testing_support {

struct PyFtpServerOptions {
  std::string root;                                        // the directory served (read-only)
  std::vector<std::pair<std::string, std::string>> users;  // name, password
  bool anonymous = false;
  bool mlsd = true;  // false: MLSD and MLST are unknown commands (500), clients fall back to LIST
  // Explicit TLS, required on the control and the data connections, when both are set.
  std::string tlsCert = {};
  std::string tlsKey = {};
};

class PyFtpServer {
 public:
  // Throws std::runtime_error when the server does not report its port within 30 seconds.
  explicit PyFtpServer(const PyFtpServerOptions& options);
  ~PyFtpServer();
  PyFtpServer(const PyFtpServer&) = delete;
  PyFtpServer& operator=(const PyFtpServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The commands received so far, in order, as sent ("PASS ****" for every password).
  std::vector<std::string> Transcript() const;
  // How many commands began with `verb` (upper case, such as "USER" or "MLSD").
  std::size_t CountCommands(const std::string& verb) const;

 private:
  TempDir work_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_FTP_SERVERS_H_
