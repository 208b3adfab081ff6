// The HTTP side of the internet layer against the scripted server: the requests a download
// makes, and the codes each broken, stalled, garbled or redirected response fails with.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "internet/thrown_code.h"
#include "platform/internet/internet.h"
#include "support/scripted_ftp_server.h"
#include "support/scripted_http_server.h"

// Responses are written with designated initializers naming only what a case sets; g++ 12
// warns about the members left to their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using testing::Contains;
using testing_support::ScriptedResponse;
using enum ScriptedResponse::Fault;

class HttpLayerTest : public testing::Test {
 protected:
  void SetUp() override { SetInternetTimeouts({10000, 1000}); }
  void TearDown() override { SetInternetTimeouts({}); }

  // A sent GET of `path` as the transport makes it.
  std::unique_ptr<CHttpFile> Get(const std::string& path, CHttpConnection* connection = nullptr) {
    static const char* types[] = {"*", nullptr};
    std::unique_ptr<CHttpFile> file(
        (connection ? connection : connection_.get())
            ->OpenRequest(HTTP_VERB_GET, path.c_str(), nullptr, 0, types, nullptr,
                          INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE));
    file->SendRequest();
    return file;
  }
  // The Content-Length, or the last error when the query fails.
  static std::pair<bool, DWORD> Length(CHttpFile& file) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    const bool ok =
        file.QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr);
    return {ok, ok ? value : GetLastError()};
  }

  testing_support::ScriptedHttpServer server_;
  CInternetSession session_{nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
  std::unique_ptr<CHttpConnection> connection_{
      session_.GetHttpConnection("127.0.0.1", server_.port(), nullptr, nullptr)};
};

TEST_F(HttpLayerTest, DownloadsShareOneConnectionAndReportWhatTheServerGave) {
  server_.ServeBody("/sub%20dir/a.dat", "alpha");
  server_.Serve("/chunked", {.body = "c", .framing = ScriptedResponse::Framing::kChunked});
  server_.Serve("/missing", {.status = 404, .body = "gone"});
  server_.Serve("/huge", {.contentLength = "4294967296"});
  server_.Serve("/longer", {.body = "helloEXTRA", .contentLength = "5"});

  auto file = Get("sub dir\\a.dat");
  DWORD status = 0;
  EXPECT_TRUE(file->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(Length(*file), std::make_pair(true, DWORD{5}));
  char buffer[64];
  EXPECT_EQ(file->Read(buffer, 5), 5u);
  EXPECT_EQ(std::string(buffer, 5), "alpha");
  EXPECT_EQ(Get("longer")->Read(buffer, sizeof(buffer)), 5u);  // the announced bytes, no more
  EXPECT_EQ(server_.RequestLines().front(), "GET /sub%20dir/a.dat HTTP/1.1");
  EXPECT_EQ(server_.RequestConnections(), 1u);

  EXPECT_EQ(Length(*Get("chunked")), std::make_pair(false, ERROR_HTTP_HEADER_NOT_FOUND));
  EXPECT_TRUE(Get("missing")->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 404u);
  EXPECT_EQ(Length(*Get("huge")), std::make_pair(false, ERROR_HTTP_INVALID_HEADER));
  const std::vector<std::string> headers = server_.Requests()[0].headers;
  EXPECT_THAT(headers, Contains("Accept: *"));
  EXPECT_THAT(headers, Contains("Cache-Control: no-cache"));
  EXPECT_THAT(headers, Contains("Pragma: no-cache"));
  EXPECT_THAT(headers, Contains("User-Agent: FileRepository/1.0"));
}

TEST_F(HttpLayerTest, FaultsFailWithTheirCodes) {
  struct Row {
    const char* target;
    DWORD expected;
    bool atRead;  // the head arrives; reading the body fails
    ScriptedResponse response;
  };
  const std::string kLong(3 << 20, 'm');
  const DWORD kInvalid = ERROR_HTTP_INVALID_SERVER_RESPONSE;
  const DWORD kTimeout = ERROR_INTERNET_TIMEOUT;
  const DWORD kAborted = ERROR_INTERNET_CONNECTION_ABORTED;
  const DWORD kRedirect = ERROR_HTTP_REDIRECT_FAILED;
  const std::vector<Row> rows = {
      {"bad-status", kInvalid, false, {.raw = "HTTP/1.1 2x0 Odd\r\nContent-Length: 0\r\n\r\n"}},
      {"closed", kInvalid, false, {.fault = kCloseBeforeHead}},
      {"silent", kTimeout, false, {.fault = kStallBeforeHead}},
      {"shorter", kAborted, true, {.body = "012345", .fault = kCloseAfter, .faultOffset = 3}},
      {"stalled", kTimeout, true, {.body = "012345", .fault = kStallAfter, .faultOffset = 3}},
      {"loop", kRedirect, false, {.status = 302, .headers = {"Location: /loop"}}},
      {"to-ftp", kRedirect, false, {.status = 302, .headers = {"Location: ftp://127.0.0.1/b"}}},
      // A redirect's body is skipped only so far.
      {"long-way", kInvalid, false, {.status = 302, .body = kLong, .headers = {"Location: /b"}}},
  };
  for (const Row& row : rows) server_.Serve(std::string("/") + row.target, row.response);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    std::unique_ptr<CHttpFile> file;
    EXPECT_EQ(ThrownCode([&] { file = Get(row.target); }), row.atRead ? 0 : row.expected);
    char buffer[10];
    if (!row.atRead) continue;
    EXPECT_EQ(ThrownCode([&] { file->Read(buffer, 10); }), row.expected);
  }
  std::size_t loops = 0;
  for (const std::string& line : server_.RequestLines()) loops += line == "GET /loop HTTP/1.1";
  EXPECT_EQ(loops, 6u);  // the request and five redirects

  server_.Serve("/a", {.status = 302, .body = "see elsewhere", .headers = {"Location: /b"}});
  server_.ServeBody("/b", "bee");
  char buffer[8];
  EXPECT_EQ(Get("a")->Read(buffer, sizeof(buffer)), 3u);
  EXPECT_EQ(std::string(buffer, 3), "bee");
  std::unique_ptr<CHttpConnection> refused(session_.GetHttpConnection(
      "127.0.0.1", testing_support::ScriptedFtpServer::RefusingPort(), nullptr, nullptr));
  EXPECT_EQ(ThrownCode([&] { Get("a", refused.get()); }), ERROR_INTERNET_CANNOT_CONNECT);
}

}  // namespace
