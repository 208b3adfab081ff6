// The HTTP side of the internet layer: the request target an object path becomes, and requests
// against the scripted server, which answers as no real server does on demand: missing or wrong
// lengths, broken, stalled and garbled responses, redirects.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/internet/internet.h"
#include "support/scripted_ftp_server.h"
#include "support/scripted_http_server.h"

namespace {

using testing::Contains;
using testing::ElementsAre;
using testing_support::ScriptedFtpServer;
using testing_support::ScriptedHttpServer;
using testing_support::ScriptedResponse;

TEST(HttpRequestTargetTest, IsMadeAsAUrlParserMakesIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"updates\\a.dat", "/updates/a.dat"},
      {"\\trigger.crc", "/trigger.crc"},
      {"", "/"},
      {"/already/slashed", "/already/slashed"},
      {"sub dir\\a b.dat", "/sub%20dir/a%20b.dat"},
      {"x\\\"<>`{}#.dat", "/x/%22%3C%3E%60%7B%7D%23.dat"},
      {"caf\xC3\xA9\\\x01\x7F", "/caf%C3%A9/%01%7F"},
      {"100%.dat", "/100%.dat"},  // a '%' stays as it is, as in a browser
      {"a\\..\\..\\b\\.\\c", "/b/c"},
      {"a\\b\\..", "/a/"},
      {"a\\%2E%2e\\b", "/b"},
      {"a\\b?x=1 2&y=\\'", "/a/b?x=1%202&y=\\%27"},
  };
  for (const auto& [path, target] : cases) EXPECT_EQ(HttpRequestTarget(path), target) << path;
}

template <typename Operation>
DWORD ThrownCode(Operation operation) {
  try {
    operation();
  } catch (const CInternetException& exception) {
    return exception.m_dwError;
  }
  return ERROR_SUCCESS;
}

class HttpLayerTest : public testing::Test {
 protected:
  void SetUp() override { SetInternetTimeouts({10000, 10000}); }
  void TearDown() override { SetInternetTimeouts({}); }

  std::unique_ptr<CHttpConnection> Connect(std::uint16_t port) {
    return std::unique_ptr<CHttpConnection>(
        session_.GetHttpConnection("127.0.0.1", port, nullptr, nullptr));
  }
  // A sent GET of `path` as the transport makes it.
  std::unique_ptr<CHttpFile> Get(CHttpConnection& connection, const std::string& path) {
    static const char* types[] = {"*", nullptr};
    std::unique_ptr<CHttpFile> file(
        connection.OpenRequest(HTTP_VERB_GET, path.c_str(), nullptr, 0, types, nullptr,
                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE));
    EXPECT_NE(file, nullptr);
    if (file != nullptr) file->SendRequest();
    return file;
  }
  DWORD SendError(const std::string& path) {
    auto connection = Connect(server_.port());
    return ThrownCode([&] { Get(*connection, path); });
  }
  static DWORD Status(CHttpFile& file) {
    DWORD status = 0;
    EXPECT_TRUE(file.QueryInfoStatusCode(status));
    return status;
  }
  // The Content-Length, or the last error when the query fails.
  static std::pair<bool, DWORD> Length(CHttpFile& file) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    const bool ok =
        file.QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr);
    return {ok, ok ? value : GetLastError()};
  }
  // The whole body, read in small pieces.
  static std::string Body(CHttpFile& file) {
    std::string body;
    char piece[700];
    DWORD got = 0;
    while (InternetReadFile(&file, piece, sizeof(piece), &got) && got != 0) body.append(piece, got);
    return body;
  }

  ScriptedHttpServer server_;
  CInternetSession session_{nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_F(HttpLayerTest, RequestsCarryTheReloadAndAcceptHeadersAndShareOneConnection) {
  server_.ServeBody("/updates/a.dat", "alpha");
  server_.ServeBody("/updates/b.dat", std::string(300000, 'b'));
  auto connection = Connect(server_.port());
  auto a = Get(*connection, "updates\\a.dat");
  EXPECT_EQ(Status(*a), 200u);
  EXPECT_EQ(Length(*a), std::make_pair(true, DWORD{5}));
  char buffer[16] = {};
  EXPECT_EQ(a->Read(buffer, 5), 5u);
  EXPECT_EQ(std::string(buffer, 5), "alpha");
  a.reset();
  auto b = Get(*connection, "updates\\b.dat");
  EXPECT_EQ(Body(*b), std::string(300000, 'b'));
  b.reset();

  EXPECT_THAT(server_.RequestLines(),
              ElementsAre("GET /updates/a.dat HTTP/1.1", "GET /updates/b.dat HTTP/1.1"));
  EXPECT_EQ(server_.RequestConnections(), 1u);
  const std::vector<std::string> headers = server_.Requests()[0].headers;
  EXPECT_THAT(headers, Contains("Accept: *"));
  EXPECT_THAT(headers, Contains("Cache-Control: no-cache"));
  EXPECT_THAT(headers, Contains("Pragma: no-cache"));
  EXPECT_THAT(headers, Contains("User-Agent: FileRepository/1.0"));
  for (const std::string& header : headers)
    EXPECT_EQ(header.rfind("Authorization", 0), std::string::npos);
}

TEST_F(HttpLayerTest, StatusAndLengthAreReportedAsTheServerGaveThem) {
  ScriptedResponse missing;
  missing.status = 404;
  missing.body = "gone";
  server_.Serve("/missing", missing);
  ScriptedResponse chunked;
  chunked.framing = ScriptedResponse::Framing::kChunked;
  chunked.body = std::string(5500, 'c');
  server_.Serve("/chunked", chunked);
  ScriptedResponse huge;
  huge.contentLength = "4294967296";
  server_.Serve("/huge", huge);
  ScriptedResponse longer;
  longer.body = "helloEXTRA";
  longer.contentLength = "5";
  server_.Serve("/longer", longer);
  auto connection = Connect(server_.port());

  EXPECT_EQ(Status(*Get(*connection, "missing")), 404u);
  auto file = Get(*connection, "chunked");
  EXPECT_EQ(Length(*file), std::make_pair(false, ERROR_HTTP_HEADER_NOT_FOUND));
  EXPECT_EQ(Body(*file), chunked.body);
  EXPECT_EQ(Length(*Get(*connection, "huge")), std::make_pair(false, ERROR_HTTP_INVALID_HEADER));
  file = Get(*connection, "longer");
  char buffer[64];
  EXPECT_EQ(file->Read(buffer, sizeof(buffer)), 5u);  // the announced bytes and no more
  EXPECT_EQ(std::string(buffer, 5), "hello");

  std::unique_ptr<CHttpFile> unsent(connection->OpenRequest(HTTP_VERB_GET, "/longer"));
  DWORD status = 0;
  EXPECT_FALSE(unsent->QueryInfoStatusCode(status));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

TEST_F(HttpLayerTest, ResponsesWithoutAValidHeadFailAtSendRequest) {
  ScriptedResponse garbage;
  garbage.raw = "GARBAGE\r\n\r\n";
  server_.Serve("/garbage", garbage);
  ScriptedResponse badStatus;
  badStatus.raw = "HTTP/1.1 2x0 Odd\r\nContent-Length: 0\r\n\r\n";
  server_.Serve("/bad-status", badStatus);
  ScriptedResponse closed;
  closed.fault = ScriptedResponse::Fault::kCloseBeforeHead;
  server_.Serve("/closed", closed);
  ScriptedResponse silent;
  silent.fault = ScriptedResponse::Fault::kStallBeforeHead;
  server_.Serve("/silent", silent);

  EXPECT_EQ(SendError("garbage"), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  EXPECT_EQ(SendError("bad-status"), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  EXPECT_EQ(SendError("closed"), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  SetInternetTimeouts({10000, 1000});
  EXPECT_EQ(SendError("silent"), ERROR_INTERNET_TIMEOUT);
  auto refused = Connect(ScriptedFtpServer::RefusingPort());
  EXPECT_EQ(ThrownCode([&] { Get(*refused, "a"); }), ERROR_INTERNET_CANNOT_CONNECT);
}

TEST_F(HttpLayerTest, BodiesThatBreakOffOrStallFailAtRead) {
  ScriptedResponse shorter;
  shorter.body = "0123456789";
  shorter.fault = ScriptedResponse::Fault::kCloseAfter;
  shorter.faultOffset = 4;
  server_.Serve("/shorter", shorter);
  ScriptedResponse stalled = shorter;
  stalled.fault = ScriptedResponse::Fault::kStallAfter;
  server_.Serve("/stalled", stalled);
  SetInternetTimeouts({10000, 1000});
  auto connection = Connect(server_.port());
  char buffer[10];
  auto file = Get(*connection, "shorter");
  EXPECT_EQ(ThrownCode([&] { file->Read(buffer, 10); }), ERROR_INTERNET_CONNECTION_ABORTED);
  file = Get(*connection, "stalled");
  EXPECT_EQ(ThrownCode([&] { file->Read(buffer, 10); }), ERROR_INTERNET_TIMEOUT);
}

TEST_F(HttpLayerTest, RedirectsAreFollowedAFewTimesToHttpOnly) {
  ScriptedResponse moved;
  moved.status = 302;
  moved.body = "see elsewhere";
  moved.headers = {"Location: /b"};
  server_.Serve("/a", moved);
  server_.ServeBody("/b", "bee");
  moved.headers = {"Location: /loop"};
  server_.Serve("/loop", moved);
  moved.headers = {"Location: ftp://127.0.0.1/b"};
  server_.Serve("/to-ftp", moved);
  moved.headers = {"Location: /b"};
  moved.body = std::string(3 << 20, 'm');  // endless as far as the client cares
  server_.Serve("/long-way", moved);
  auto connection = Connect(server_.port());

  auto file = Get(*connection, "a");
  EXPECT_EQ(Status(*file), 200u);
  EXPECT_EQ(Body(*file), "bee");
  EXPECT_EQ(ThrownCode([&] { Get(*connection, "loop"); }), ERROR_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(ThrownCode([&] { Get(*connection, "to-ftp"); }), ERROR_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(ThrownCode([&] { Get(*connection, "long-way"); }), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  std::size_t loops = 0;
  for (const std::string& line : server_.RequestLines()) loops += line == "GET /loop HTTP/1.1";
  EXPECT_EQ(loops, 6u);  // the request and five redirects
}

}  // namespace
