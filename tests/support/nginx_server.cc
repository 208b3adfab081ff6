#include "support/nginx_server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <stdexcept>

namespace testing_support {

bool NginxServer::Available() {
  return access(kProgram, X_OK) == 0;
}

NginxServer::NginxServer(const NginxOptions& options) {
  tls_ = !options.tlsCert.empty() && !options.tlsKey.empty();
  port_ = FreeLoopbackPort();
  const std::string work = work_.path();
  // One process, in the foreground, as the launching user; every path it writes is ours.
  // Paths are relative to the prefix, work_.
  const std::string config =
      "daemon off;\nmaster_process off;\nworker_processes 1;\npid nginx.pid;\n"
      "error_log error.log info;\nevents { worker_connections 64; }\nhttp {\n"
      "  default_type application/octet-stream;\n"
      "  log_format transcript '$connection $request';\n  access_log access.log transcript;\n"
      "  client_body_temp_path body;\n  proxy_temp_path proxy;\n  fastcgi_temp_path fastcgi;\n"
      "  uwsgi_temp_path uwsgi;\n  scgi_temp_path scgi;\n  keepalive_timeout 120s;\n"
      "  server {\n    listen 127.0.0.1:" +
      std::to_string(port_) + (tls_ ? " ssl" : "") + ";\n    root " + options.root + ";\n" +
      (tls_ ? "    ssl_certificate " + options.tlsCert + ";\n    ssl_certificate_key " +
                  options.tlsKey +
                  ";\n    error_page 497 =302 https://$host:$server_port$request_uri;\n"
                  "    location = /updates/moved.dat {\n"
                  "      return 302 https://$host:$server_port/updates/a.dat;\n    }\n"
            : "") +
      "  }\n}\n";
  WriteFile(work_ / "nginx.conf", config);
  WriteFile(work_ / "access.log", "");
  // Started directly, not through a wrapper: with master_process off nginx is one process that
  // starts no others, so the child's parent-death signal ends it even when the test is killed.
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kProgram, "-p", work + "/", "-c", work + "/nginx.conf", "-e",
                               work + "/error.log"},
      work_ / "stderr.txt");
  if (!AcceptsWithin(port_, std::chrono::seconds(30))) {
    kill(process_->pid(), SIGTERM);
    process_->Stop();
    throw std::runtime_error("nginx did not start: " + ReadFile(work_ / "stderr.txt") +
                             ReadFile(work_ / "error.log"));
  }
}

NginxServer::~NginxServer() {
  // nginx does not watch its stdin; SIGTERM is its "stop now".
  kill(process_->pid(), SIGTERM);
  process_->Stop();
}

std::string NginxServer::url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> NginxServer::RequestLines(std::size_t atLeast) const {
  PollUntil([&] { return ReadLines(work_ / "access.log").size() >= atLeast; },
            std::chrono::seconds(30));
  std::vector<std::string> requests;
  for (const std::string& line : ReadLines(work_ / "access.log")) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) requests.push_back(line.substr(space + 1));
  }
  return requests;
}

std::size_t NginxServer::RequestConnections() const {
  std::set<std::string> connections;
  for (const std::string& line : ReadLines(work_ / "access.log"))
    connections.insert(line.substr(0, line.find(' ')));
  return connections.size();
}

}  // namespace testing_support
