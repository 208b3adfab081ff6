#include "support/ftp_servers.h"

#include <stdexcept>

namespace testing_support {

PyFtpServer::PyFtpServer(const PyFtpServerOptions& options) {
  std::vector<std::string> argv = {"/usr/bin/python3", FR_TEST_SERVERS_DIR "/ftp_server.py",
                                   "--root",           options.root,
                                   "--transcript",     work_ / "transcript.txt"};
  for (const auto& [name, password] : options.users)
    argv.push_back("--user=" + name + ":" + password);
  if (options.anonymous) argv.push_back("--anonymous");
  if (!options.mlsd) argv.push_back("--no-mlsd");
  if (!options.tlsCert.empty()) {
    argv.insert(argv.end(), {"--tls-cert", options.tlsCert, "--tls-key", options.tlsKey});
  }
  WriteFile(work_ / "transcript.txt", "");
  process_ = std::make_unique<ChildProcess>(argv, work_ / "stderr.txt");
  port_ = ReadPort(*process_);
  if (port_ == 0) {
    process_->Stop();
    throw std::runtime_error("the FTP server did not start: " + ReadFile(work_ / "stderr.txt"));
  }
}

PyFtpServer::~PyFtpServer() {
  process_->Stop();
}

std::vector<std::string> PyFtpServer::Transcript() const {
  return ReadLines(work_ / "transcript.txt");
}

std::size_t PyFtpServer::CountCommands(const std::string& verb) const {
  return CountVerb(Transcript(), verb);
}

}  // namespace testing_support
