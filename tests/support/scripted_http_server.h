// An in-process HTTP server whose answers a test scripts, for what real servers will not do on
// demand: no Content-Length, chunked bodies, bodies longer or shorter than announced, any status,
// stalls before or inside a response, bodies that never end, garbage, a connection closed
// without an answer.
//
// It listens on 127.0.0.1 at a free port and serves each connection on a thread of its own with
// plain blocking sockets, one request after the other while the connection stays open. It records
// every request (its connection, request line and header lines). The destructor stops everything,
// shutting down connections still open. Script it before the client connects.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_
#define FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct ScriptedResponse {
  int status = 200;
  std::string body;
  enum class Framing {
    kContentLength,  // "Content-Length: <contentLength or the body's size>"
    kChunked,        // the body in chunks of at most 1000 bytes
    kUntilClose,     // no length: the body, then the connection closes
  };
  Framing framing = Framing::kContentLength;
  std::optional<std::string> contentLength;  // the header's value, when not the body's size
  std::vector<std::string> headers;          // further header lines, without CR LF
  enum class Fault {
    kNone,
    kStallBeforeHead,  // send nothing, ever; the connection stays open
    kCloseBeforeHead,  // close the connection without a byte
    kStallAfter,       // the head and faultOffset body bytes, then nothing more
    kCloseAfter,       // the head and faultOffset body bytes, then the connection closes
    kEndlessAfter,     // the head and faultOffset body bytes, then filler until the client closes
  };
  Fault fault = Fault::kNone;
  std::size_t faultOffset = 0;
  std::optional<std::string> raw;  // sent as it stands instead of a head and body
  bool close = false;              // "Connection: close", and close after the response
};

struct ScriptedRequest {
  std::size_t connection;  // 1 for the first connection accepted, and so on
  std::string line;        // "GET /a.dat HTTP/1.1"
  std::vector<std::string> headers;
};

class ScriptedHttpServer {
 public:
  ScriptedHttpServer();
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Answers to requests for `target` (the request target exactly, "/updates/a.dat"), one per
  // request in the order added; the last one answers every further request.
  void Serve(const std::string& target, ScriptedResponse response);
  void ServeBody(const std::string& target, const std::string& body);
  // The answer to a target without answers of its own; 404 unless set.
  void SetDefault(ScriptedResponse response);

  std::vector<ScriptedRequest> Requests() const;
  std::vector<std::string> RequestLines() const;
  // Connections that carried at least one request (the reachability probe carries none).
  std::size_t RequestConnections() const;

 private:
  friend class HttpSession;
  ScriptedResponse Answer(const std::string& target);
  void AcceptLoop();
  void CloseFd(int fd);

  mutable std::mutex mutex_;
  std::map<std::string, std::deque<ScriptedResponse>> answers_;
  ScriptedResponse default_;
  std::vector<ScriptedRequest> requests_;
  std::set<int> openFds_;
  std::vector<std::thread> sessions_;
  int listener_ = -1;
  int stopEvent_ = -1;  // an eventfd: readable once stopping
  std::uint16_t port_ = 0;
  std::size_t accepted_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_
