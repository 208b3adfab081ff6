#include "support/scripted_http_server.h"

#include <set>
#include <sstream>

namespace testing_support {

void ScriptedHttpServer::Serve(const std::string& target, const ScriptedResponse& response) {
  static const char* const kFramings[] = {"length", "chunked"};
  static const char* const kFaults[] = {"none",        "stall-before-head", "close-before-head",
                                        "stall-after", "close-after",       "endless-after"};
  std::vector<std::string> words = {"serve",
                                    Word(target),
                                    std::to_string(response.status),
                                    Word(response.body),
                                    kFramings[static_cast<int>(response.framing)],
                                    Word(response.contentLength),
                                    kFaults[static_cast<int>(response.fault)],
                                    std::to_string(response.faultOffset),
                                    Word(response.raw)};
  for (const std::string& header : response.headers) words.push_back(Word(header));
  Call(words);
}

void ScriptedHttpServer::ServeBody(const std::string& target, const std::string& body) {
  ScriptedResponse response;
  response.body = body;
  Serve(target, response);
}

std::vector<ScriptedRequest> ScriptedHttpServer::Requests() const {
  std::vector<ScriptedRequest> requests;
  for (const std::string& word : Call({"requests"})) {
    if (word.empty()) continue;
    std::istringstream in(word);
    std::string field;
    std::getline(in, field, ':');
    ScriptedRequest request{std::stoul(field), "", {}};
    for (bool first = true; std::getline(in, field, ':'); first = false) {
      (first ? request.line : request.headers.emplace_back()) = Text(field);
    }
    requests.push_back(request);
  }
  return requests;
}

std::vector<std::string> ScriptedHttpServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const ScriptedRequest& request : Requests()) lines.push_back(request.line);
  return lines;
}

std::size_t ScriptedHttpServer::RequestConnections() const {
  std::set<std::size_t> connections;
  for (const ScriptedRequest& request : Requests()) connections.insert(request.connection);
  return connections.size();
}

}  // namespace testing_support
