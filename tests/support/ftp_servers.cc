#include "support/ftp_servers.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(30);

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::size_t CountVerb(const std::vector<std::string>& transcript, const std::string& verb) {
  std::size_t count = 0;
  for (const std::string& command : transcript) {
    if (command.compare(0, verb.size(), verb) == 0 &&
        (command.size() == verb.size() || command[verb.size()] == ' ')) {
      ++count;
    }
  }
  return count;
}

PyFtpServer::PyFtpServer(const PyFtpServerOptions& options) {
  std::vector<std::string> argv = {kPython,        FR_TEST_SERVERS_DIR "/ftp_server.py",
                                   "--root",       options.root,
                                   "--transcript", work_ / "transcript.txt"};
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
    throw std::runtime_error("the FTP server did not start: " + ErrorLog());
  }
}

PyFtpServer::~PyFtpServer() {
  process_->Stop();
}

std::vector<std::string> PyFtpServer::TranscriptLines() const {
  return Lines(ReadFile(work_ / "transcript.txt"));
}

std::vector<std::string> PyFtpServer::Transcript() const {
  std::vector<std::string> commands;
  for (std::string& line : TranscriptLines()) {
    if (line != "*CONNECT*") commands.push_back(std::move(line));
  }
  return commands;
}

std::size_t PyFtpServer::CountCommands(const std::string& verb) const {
  return CountVerb(Transcript(), verb);
}

std::size_t PyFtpServer::Connections() const {
  std::size_t count = 0;
  for (const std::string& line : TranscriptLines()) count += line == "*CONNECT*" ? 1 : 0;
  return count;
}

std::string PyFtpServer::ErrorLog() const {
  return ReadFile(work_ / "stderr.txt");
}

bool VsftpdServer::Available() {
  return access(kProgram, X_OK) == 0;
}

VsftpdServer::VsftpdServer(const std::string& root) {
  port_ = FreeLoopbackPort();
  const std::string config = work_ / "vsftpd.conf";
  // Anonymous read-only service of `root` as the launching user (no chroot, no privilege
  // separation: the only way it runs unprivileged and as root alike), passive ports chosen by
  // the system, every command logged.
  WriteFile(config,
            "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nbackground=NO\n"
            "run_as_launching_user=YES\nseccomp_sandbox=NO\nanonymous_enable=YES\n"
            "no_anon_password=YES\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=YES\n"
            "port_enable=YES\nuse_localtime=NO\nsyslog_enable=NO\nxferlog_enable=YES\n"
            "xferlog_std_format=NO\nlog_ftp_protocol=YES\nftpd_banner=Test server ready.\n"
            "listen_port=" +
                std::to_string(port_) + "\nanon_root=" + root +
                "\nvsftpd_log_file=" + work_ / "vsftpd.log" + "\n");
  WriteFile(work_ / "vsftpd.log", "");
  // Started directly: its session processes end with it (vsftpd sees to that), and it ends with
  // the test, through the child's parent-death signal, or with this object, through SIGTERM.
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{kProgram, config},
                                            work_ / "stderr.txt");
  if (!AcceptsWithin(port_, kStartLimit)) {
    kill(process_->pid(), SIGTERM);
    process_->Stop();
    throw std::runtime_error("vsftpd did not start: " + ReadFile(work_ / "stderr.txt"));
  }
}

VsftpdServer::~VsftpdServer() {
  kill(process_->pid(), SIGTERM);
  process_->Stop();
}

std::vector<std::string> VsftpdServer::Transcript() const {
  // Lines such as: ... [pid 7] [ftp] FTP command: Client "127.0.0.1", "USER anonymous"
  static const std::string kMarker = "FTP command: Client \"";
  std::vector<std::string> commands;
  for (const std::string& line : Lines(ReadFile(work_ / "vsftpd.log"))) {
    const std::size_t marker = line.find(kMarker);
    if (marker == std::string::npos) continue;
    const std::size_t open = line.find(", \"", marker + kMarker.size());
    if (open == std::string::npos || line.size() < open + 4 || line.back() != '"') continue;
    std::string command = line.substr(open + 3, line.size() - open - 4);
    if (command.compare(0, 5, "PASS ") == 0) command = "PASS ****";
    commands.push_back(command);
  }
  return commands;
}

}  // namespace testing_support
