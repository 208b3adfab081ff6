// An HTTP server whose answers a test scripts, for what real servers will not do on demand: no
// Content-Length, chunked bodies, bodies longer or shorter than announced, any status, stalls
// before or inside a response, bodies that never end, garbage, a connection closed without an
// answer. It is tests/servers/scripted_server.py, on 127.0.0.1 at a free port, stopped with this
// object; it serves one request after the other while a connection stays open, and records every
// request.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_
#define FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace testing_support {

struct ScriptedResponse {
  int status = 200;
  std::string body;
  enum class Framing {
    kContentLength,  // "Content-Length: <contentLength or the body's size>"
    kChunked,        // the body in chunks of at most 1000 bytes
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
};

struct ScriptedRequest {
  std::size_t connection;  // 1 for the first connection accepted, and so on
  std::string line;        // "GET /a.dat HTTP/1.1"
  std::vector<std::string> headers;
};

class ScriptedHttpServer : public ScriptedServerProcess {
 public:
  ScriptedHttpServer() : ScriptedServerProcess("http") {}
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }

  // Answers to requests for `target` (the request target exactly, "/updates/a.dat"), one per
  // request in the order added; the last one answers every further request.
  void Serve(const std::string& target, const ScriptedResponse& response);
  void ServeBody(const std::string& target, const std::string& body);

  std::vector<ScriptedRequest> Requests() const;
  std::vector<std::string> RequestLines() const;
  // Connections that carried at least one request (the reachability probe carries none).
  std::size_t RequestConnections() const;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_SCRIPTED_HTTP_SERVER_H_
