// The HTTP transport: how each kind of failed or odd response maps to its exact entry and which
// are retried, and that a stop ends the attempts (against the scripted server); names that would
// leave the backup directory; and https trust against nginx. Whole cycles over HTTP run in the
// end-to-end and hostile-server tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/utility.h"
#include "http/http_updates.h"
#include "integrity/crc32.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/nginx_server.h"
#include "support/scripted_http_server.h"
#include "support/signing_files.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/tls_certs.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;
using Fault = ScriptedResponse::Fault;
using Framing = ScriptedResponse::Framing;

// The transport with the members the cycle would set made reachable.
class TestHttpUpdates : public CHttpUpdates {
 public:
  TestHttpUpdates(UpdateSlot* slot, const std::string& server, const std::string& backup)
      : CHttpUpdates(slot) {
    m_strServer = server;
    m_strRemoteDir = "updates";
    m_strBackupDir = backup;
  }
  using CHttpUpdates::m_strPassword;
  using CHttpUpdates::m_triggerData;
};

const std::string kTitle20051 = "Connecting to the AntiVirus Display updates server";

// `body` with `fault` striking two bytes into it, the status, the length announced when not the
// body's size, and the framing (by default a Content-Length header).
ScriptedResponse Send(const std::string& body, Fault fault = Fault::kNone, int status = 200,
                      std::optional<std::string> length = {}, Framing framing = {}) {
  return {status, body, framing, std::move(length), {}, fault, 2, std::nullopt};
}
// A redirect to `location` with `body`.
ScriptedResponse Moved(const std::string& location, const std::string& body = "") {
  return {302, body, {}, {}, {"Location: " + location}, {}, 0, {}};
}
// `text` sent as it stands.
ScriptedResponse Raw(const std::string& text) {
  return {200, "", {}, {}, {}, {}, 0, text};
}

class HttpTransportTest : public ::testing::Test {
 protected:
  HttpTransportTest() { MakeDirectories(backup_); }
  ~HttpTransportTest() override {
    SetInternetTimeouts({});
    SetInternetCaFile(nullptr);
    EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore_) << "traced blocks leaked";
  }

  std::unique_ptr<TestHttpUpdates> Run(const std::string& server) {
    return std::make_unique<TestHttpUpdates>(slot_.get(), server, backup_);
  }
  // Exactly one entry, `expected`, was logged since the last check.
  void ExpectOneEntry(const ExpectedEntry& expected) {
    ASSERT_EQ(log_.entries().size(), 1u) << log_.Dump();
    EXPECT_TRUE(Matches(log_.entries()[0], expected)) << log_.Dump();
    log_.Clear();
  }

  TempDir dir_;
  std::string backup_ = dir_ / "root/backup";
  TestConfig config_{"AntiVirus", dir_ / "root"};
  TestSlot slot_{config_};
  LogCapture log_;
  const std::size_t blocksBefore_ = CMemoryDebugging::OutstandingBlocks();
};

TEST_F(HttpTransportTest, FailuresMapToExactEntriesAndAreRetriedWhereThatCanHelp) {
  setenv("all_proxy", "http://127.0.0.1:1", 1);  // the environment's proxy is never used
  // Each name: what the server sends for it, the entry's detail (none when the download succeeds
  // with "alpha"), and the requests made with retries 2. A response that fails before its body
  // is a refusal and not retried; a body that breaks off is. Names that would leave the backup
  // directory are refused (123, the invalid-name code) and never asked for.
  const std::string kNone = "The remote file does not exist.";
  const std::tuple<std::string, std::vector<ScriptedResponse>, std::string, std::ptrdiff_t>
      files[] = {
          {"chunked.dat", {Send("alpha", Fault::kNone, 200, {}, Framing::kChunked)}, "12150", 3},
          {"huge.dat", {Send("alpha", Fault::kNone, 200, "4294967296")}, "12153", 3},
          {"changed.dat", {Send("not alpha")}, "23", 3},
          {"failing.dat", {Send("", Fault::kNone, 500)}, kNone, 1},
          {"gone.dat", {Send("alpha", Fault::kNone, 404)}, kNone, 1},  // a page, not the file
          {"garbled.dat", {Raw("HTTP/1.1 2x0 Odd\r\n\r\n")}, kNone, 1},
          {"closed.dat", {Send("alpha", Fault::kCloseBeforeHead)}, kNone, 1},
          {"silent.dat", {Send("alpha", Fault::kStallBeforeHead)}, kNone, 1},
          {"loop.dat", {Moved("/updates/loop.dat")}, kNone, 6},  // the request and five redirects
          {"to-ftp.dat", {Moved("ftp://127.0.0.1/b")}, kNone, 1},
          {"long-way.dat", {Moved("/b", std::string(3 << 20, 'm'))}, kNone, 1},
          {"longer.dat", {Send("alpha and more", Fault::kNone, 200, "5")}, "", 1},
          {"informal.dat", {Send("alpha", Fault::kNone, 203)}, "", 1},
          {"continued.dat",
           {Raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nalpha")},
           "",
           1},
          {"moved.dat",
           {Raw("HTTP/1.1 302 Found\r\nlocation: /b\r\nContent-Length: 5\r\n\r\nsee b")},
           "",
           1},
          {"sub dir.dat", {}, "", 1},
          {"flaky.dat", {Send("alpha", Fault::kCloseAfter), Send("alpha")}, "", 2},
          {"broken.dat", {Send("alpha", Fault::kCloseAfter)}, "12030", 3},
          {"stalled.dat", {Send("alpha", Fault::kStallAfter)}, "12002", 3},
          {"../evil.dat", {}, "123", 0},
          {"", {}, "123", 0},
      };
  ScriptedHttpServer server;
  server.ServeBody("/updates/trigger.crc", "5 a.dat\r\n");
  server.ServeBody("/b", "alpha");
  server.ServeBody("/updates/sub%20dir.dat", "alpha");
  for (const auto& [name, responses, detail, requests] : files) {
    for (const ScriptedResponse& response : responses) server.Serve("/updates/" + name, response);
  }
  SetInternetTimeouts({10000, 1000});
  auto run = Run(server.url());
  ASSERT_TRUE(run->Connect());
  for (const auto& [name, responses, detail, requests] : files) {
    SCOPED_TRACE(name);
    run->m_triggerData.SetAt(name, CalculateBufferCrc32("alpha", 5));
    EXPECT_EQ(run->FetchFile(name), detail.empty());
    if (!detail.empty())
      ExpectOneEntry(Error(3001, {"Updating the \"\"updates\\" + name + "\"\" file", detail}));
    EXPECT_EQ(FileExists(backup_ + "/" + name) ? ReadFile(backup_ + "/" + name) : "",
              detail.empty() ? "alpha" : "");
    const std::vector<std::string> lines = server.RequestLines();
    const std::string target = name == "sub dir.dat" ? "sub%20dir.dat" : name;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /updates/" + target + " HTTP/1.1"),
              requests);
  }
  // A cache on the way must not answer for the server; any type is accepted, as "*". The
  // updater names itself.
  EXPECT_THAT(server.Requests()[0].headers,
              testing::IsSupersetOf(
                  {"Cache-Control: no-cache", "Accept: *", "User-Agent: FileRepository/1.0"}));

  // A stop ends the attempts: the one under way fails, the next is not made.
  SetEvent(slot_->m_hStopEvent);
  EXPECT_FALSE(run->FetchFile("changed.dat"));
  ResetEvent(slot_->m_hStopEvent);
  ExpectOneEntry(Error(3001, {"Updating the \"\"updates\\changed.dat\"\" file", "23"}));
  const std::vector<std::string> lines = server.RequestLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "GET /updates/changed.dat HTTP/1.1"), 3 + 1);

  // Connect: an address that is none for HTTP, a server that does not answer, one that lacks the
  // trigger file or breaks it off. A run connected again keeps one trigger file.
  EXPECT_FALSE(Run("ftp://127.0.0.1")->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12005"}));
  EXPECT_FALSE(Run("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()))->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "1460"}));
  ScriptedHttpServer bare;
  bare.Serve("/updates/trigger.crc", Send("", Fault::kNone, 404));
  bare.Serve("/updates/trigger.crc", Send("5 a.dat\r\n", Fault::kCloseAfter));
  bare.ServeBody("/updates/trigger.crc", "5 a.dat\r\n");
  EXPECT_FALSE(Run(bare.url())->Connect());
  ExpectOneEntry(Error(3001, {"Updating the \"\"updates\\trigger.crc\"\" file", "3"}));
  EXPECT_FALSE(Run(bare.url())->Connect());
  ExpectOneEntry(Error(3001, {"Updating the \"\"trigger.crc\"\" file", "12030"}));
  const std::string port = std::to_string(bare.port()), elsewhere = "http://localhost:" + port;
  bare.Serve("/updates/at.minisig", Moved(elsewhere + "/at"));
  bare.ServeBody("/at", std::string(16384, 's'));
  bare.ServeBody("/updates/over.minisig", std::string(16385, 's'));
  // A server that closes without a word sent no valid response (12152), no broken transfer.
  bare.Serve("/updates/refused.minisig", Send("alpha", Fault::kCloseBeforeHead));
  auto twice = Run(bare.url());
  EXPECT_TRUE(twice->Connect() && twice->Connect());
  ExpectSigningFileLimits(*twice, ERROR_HTTP_INVALID_SERVER_RESPONSE);
  ExpectOneEntry(
      Operation(3002, {"Updating the \"\"updates\\at.minisig\"\" file",
                       "The server sent the request on to another server: " + elsewhere + "/at"}));
  // A redirect to the same server, named in other letters, is no move to another server.
  bare.Serve("/updates/same.dat", Moved("http://LOCALHOST:" + port + "/b"));
  bare.ServeBody("/b", "alpha");
  auto named = Run(elsewhere);
  named->m_triggerData.SetAt("same.dat", CalculateBufferCrc32("alpha", 5));
  EXPECT_TRUE(named->Connect() && named->FetchFile("same.dat"));
  EXPECT_TRUE(log_.entries().empty()) << log_.Dump();
  // A redirect to another server is named, with the password masked wherever it stands.
  bare.Serve("/updates/away.dat", Moved("http://127.0.0.1:" + port + "/s3cret-pass"));
  bare.ServeBody("/s3cret-pass", "alpha");
  named->m_strPassword = "s3cret-pass";
  named->m_triggerData.SetAt("away.dat", CalculateBufferCrc32("alpha", 5));
  EXPECT_TRUE(named->FetchFile("away.dat"));
  ExpectOneEntry(Operation(
      3002, {"Updating the \"\"updates\\away.dat\"\" file",
             "The server sent the request on to another server: " + bare.url() + "/********"}));
}

TEST_F(HttpTransportTest, HttpsConnectsOnlyToATrustedServerOfTheRightName) {
  if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
  WriteFile(dir_ / "www/updates/trigger.crc", "5 a.dat\r\n");
  const TestCertificates certs = MakeTestCertificates(dir_.path());
  NginxServer nginx({dir_ / "www", certs.serverCert, certs.serverKey});
  NginxServer otherName({dir_ / "www", certs.otherNameCert, certs.otherNameKey});
  NginxServer expired({dir_ / "www", certs.expiredCert, certs.expiredKey});
  // Neither the system's store, an unrelated authority nor a file that cannot be read knows the
  // test authority.
  for (const char* authority :
       {static_cast<const char*>(nullptr), certs.unrelatedCaCert.c_str(), "/no/such/ca.pem"}) {
    SetInternetCaFile(authority);
    EXPECT_FALSE(Run(nginx.url())->Connect());
    ExpectOneEntry(Error(3001, {kTitle20051, "12045"}));
  }
  SetInternetCaFile(certs.caCert.c_str());
  EXPECT_FALSE(Run(otherName.url())->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12038"}));
  EXPECT_FALSE(Run(expired.url())->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12037"}));
  EXPECT_TRUE(Run(nginx.url())->Connect()) << log_.Dump();
  EXPECT_TRUE(otherName.RequestLines().empty());
  // Sent on from http:// to https:// at the same port: another server, and named.
  const std::string secure = "https://127.0.0.1:" + std::to_string(nginx.port());
  EXPECT_TRUE(Run("http" + secure.substr(5))->Connect()) << log_.Dump();
  ExpectOneEntry(Operation(3002, {"Updating the \"\"updates\\trigger.crc\"\" file",
                                  "The server sent the request on to another server: " + secure +
                                      "/updates/trigger.crc"}));
}

// A server named without a port is reached at its scheme's own port: a plain host and http://
// at 80, https:// at 443 (in a network namespace of the test's own, where those ports are free),
// where a redirect that names the port stays on the same server.
TEST_F(HttpTransportTest, AServerWithoutAPortIsReachedAtItsSchemesPort) {
  if (!OwnLoopbackNetwork()) GTEST_SKIP() << "a network namespace of its own needs root";
  setenv("FR_TEST_PORT", "80", 1);
  {
    ScriptedHttpServer plain;
    plain.ServeBody("/updates/trigger.crc", "5 a.dat\r\n");
    for (const char* server : {"127.0.0.1", "http://127.0.0.1"})
      EXPECT_TRUE(Run(server)->Connect()) << server << log_.Dump();
  }
  if (NginxServer::Available()) {
    WriteFile(dir_ / "www/updates/trigger.crc", "5 a.dat\r\n");
    const TestCertificates certs = MakeTestCertificates(dir_.path());
    setenv("FR_TEST_PORT", "443", 1);
    NginxServer secure({dir_ / "www", certs.serverCert, certs.serverKey});
    SetInternetCaFile(certs.caCert.c_str());
    WriteFile(dir_ / "www/updates/a.dat", "alpha");
    auto run = Run("https://127.0.0.1");
    run->m_triggerData.SetAt("moved.dat", CalculateBufferCrc32("alpha", 5));
    EXPECT_TRUE(run->Connect() && run->FetchFile("moved.dat")) << log_.Dump();
    EXPECT_TRUE(log_.entries().empty()) << log_.Dump();  // :443 names the same server
  }
  unsetenv("FR_TEST_PORT");
}

}  // namespace
