// The HTTP transport against the scripted server and nginx: Connect's and FetchFile's failure
// tables with their exact entries, lengths, CRC checks and retries counted in requests, the
// request targets made from the backslashed paths, https, and the choice of transport.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "http/http_updates.h"
#include "integrity/crc32.h"
#include "service/transport_factory.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/nginx_server.h"
#include "support/scripted_ftp_server.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/tls_certs.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;
using testing::ElementsAre;

// The transport with the members the cycle would set made settable.
class TestHttpUpdates : public CHttpUpdates {
 public:
  TestHttpUpdates(UpdateSlot* slot, const std::string& server, const std::string& backup)
      : CHttpUpdates(slot) {
    m_strServer = server;
    m_strRemoteDir = "updates";
    m_strBackupDir = backup;
  }
  void SetRemoteDir(const std::string& dir) { m_strRemoteDir = dir; }
  void Expect(const std::string& name, const std::string& content) {
    m_triggerData.SetAt(name,
                        CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
  }
  std::string trigger() const {
    if (m_pRemoteTriggerFile == nullptr) return "<none>";
    return std::string(reinterpret_cast<const char*>(m_pRemoteTriggerFile),
                       static_cast<std::size_t>(m_nRemoteTriggerFileSize));
  }
};

const std::string kTrigger = "5 a.dat\r\n";
const std::string kTitle20051 = "Connecting to the AntiVirus Display updates server";

std::string Title20058(const std::string& insert) {
  return "Updating the \"\"" + insert + "\"\" file";
}

ScriptedResponse Response(const std::string& body) {
  ScriptedResponse response;
  response.body = body;
  return response;
}

class HttpTransportTest : public ::testing::Test {
 protected:
  HttpTransportTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {
    MakeDirectories(backup_);
    SetInternetTimeouts({10000, 10000});
    config_->probeTimeoutMs = 2000;
    config_->downloadRetries = 2;
    server_.ServeBody("/updates/trigger.crc", kTrigger);
    blocksBefore_ = CMemoryDebugging::OutstandingBlocks();
  }
  ~HttpTransportTest() override {
    SetInternetTimeouts({});
    SetInternetCaFile(nullptr);
    EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore_) << "traced blocks leaked";
  }

  std::unique_ptr<TestHttpUpdates> Run(const std::string& server) {
    return std::make_unique<TestHttpUpdates>(slot_.get(), server, backup_);
  }
  // A connected run on the scripted server, with the log captured from then on.
  std::unique_ptr<TestHttpUpdates> Connected() {
    auto run = Run(server_.url());
    EXPECT_TRUE(run->Connect());
    log_.Clear();
    return run;
  }
  std::size_t Requests(const std::string& target) const {
    std::size_t count = 0;
    for (const std::string& line : server_.RequestLines()) {
      count += line == "GET " + target + " HTTP/1.1";
    }
    return count;
  }
  void ExpectOneEntry(const ExpectedEntry& expected) {
    ASSERT_EQ(log_.entries().size(), 1u) << log_.Dump();
    EXPECT_TRUE(Matches(log_.entries()[0], expected)) << log_.Dump();
    log_.Clear();
  }

  TempDir dir_;
  std::string backup_ = dir_ / "root/backup";
  TestConfig config_;
  TestSlot slot_;
  ScriptedHttpServer server_;
  LogCapture log_;
  std::size_t blocksBefore_ = 0;
};

TEST_F(HttpTransportTest, RunAgainstNginxFetchesEverythingOverOneConnection) {
  if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
  WriteFile(dir_ / "www/updates/trigger.crc", kTrigger);
  WriteFile(dir_ / "www/updates/a.dat", "alpha");
  WriteFile(dir_ / "www/updates/unlisted.cfg", "no CRC known");
  NginxServer nginx({dir_ / "www", "", ""});
  auto run = Run(nginx.url());
  ASSERT_TRUE(run->Connect()) << log_.Dump();
  EXPECT_TRUE(run->IsConnected());
  EXPECT_EQ(run->trigger(), kTrigger);
  run->Expect("a.dat", "alpha");
  EXPECT_TRUE(run->FetchFile("a.dat"));
  EXPECT_TRUE(run->FetchFile("unlisted.cfg"));
  run->Disconnect();
  EXPECT_FALSE(run->IsConnected());
  run->Disconnect();
  EXPECT_EQ(ReadFile(backup_ + "/a.dat"), "alpha");
  EXPECT_EQ(ReadFile(backup_ + "/unlisted.cfg"), "no CRC known");
  EXPECT_TRUE(log_.entries().empty()) << log_.Dump();
  EXPECT_THAT(nginx.RequestLines(3),
              ElementsAre("GET /updates/trigger.crc HTTP/1.1", "GET /updates/a.dat HTTP/1.1",
                          "GET /updates/unlisted.cfg HTTP/1.1"));
  EXPECT_EQ(nginx.RequestConnections(), 1u);
}

TEST_F(HttpTransportTest, ConnectFailuresWriteOneEntryAndLeaveNoConnection) {
  EXPECT_FALSE(
      Run("http://127.0.0.1:" + std::to_string(ScriptedFtpServer::RefusingPort()))->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "1460"}));
  EXPECT_FALSE(Run("ftp://127.0.0.1")->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12005"}));

  ScriptedHttpServer chunkedTrigger;
  ScriptedResponse chunked = Response(kTrigger);
  chunked.framing = ScriptedResponse::Framing::kChunked;
  chunkedTrigger.Serve("/updates/trigger.crc", chunked);
  auto run = Run(chunkedTrigger.url());
  EXPECT_FALSE(run->Connect());
  EXPECT_FALSE(run->IsConnected());
  EXPECT_EQ(run->trigger(), "<none>");
  ExpectOneEntry(Error(3001, {Title20058("trigger.crc"), "12150"}));

  // An empty remote directory: the path shown begins with the backslash, the request with '/'.
  run->SetRemoteDir("");
  EXPECT_FALSE(run->Connect());
  EXPECT_FALSE(run->IsConnected());
  ExpectOneEntry(Error(3001, {Title20058("\\trigger.crc"), "3"}));
  EXPECT_THAT(chunkedTrigger.RequestLines(),
              ElementsAre("GET /updates/trigger.crc HTTP/1.1", "GET /trigger.crc HTTP/1.1"));
}

TEST_F(HttpTransportTest, ConnectOnAConnectedObjectStartsAfresh) {
  auto run = Run(server_.url());
  ASSERT_TRUE(run->Connect());
  ASSERT_TRUE(run->Connect());
  EXPECT_EQ(run->trigger(), kTrigger);
  EXPECT_EQ(server_.RequestConnections(), 2u);
}

TEST_F(HttpTransportTest, ErrorStatusEndsTheFileAtOnce) {
  ScriptedResponse failing = Response("server trouble");
  failing.status = 500;
  server_.Serve("/updates/a.dat", failing);
  auto run = Connected();
  EXPECT_FALSE(run->FetchFile("a.dat"));
  EXPECT_FALSE(run->FetchFile("absent.dat"));
  ASSERT_EQ(log_.entries().size(), 2u) << log_.Dump();
  EXPECT_TRUE(Matches(log_.entries()[0], Error(3001, {Title20058("updates\\a.dat"),
                                                      "The remote file does not exist."})));
  EXPECT_EQ(log_.entries()[1].texts[0], Title20058("updates\\absent.dat"));
  EXPECT_EQ(Requests("/updates/a.dat"), 1u);
  EXPECT_TRUE(run->IsConnected());
}

TEST_F(HttpTransportTest, FailedAttemptsAreRetriedAndReportedOnceWithTheLastCause) {
  ScriptedResponse chunked = Response("alpha");
  chunked.framing = ScriptedResponse::Framing::kChunked;
  server_.Serve("/updates/a.dat", chunked);
  server_.ServeBody("/updates/b.dat", "not what the trigger file says");
  auto run = Connected();
  run->Expect("a.dat", "alpha");
  run->Expect("b.dat", "bravo");
  EXPECT_FALSE(run->FetchFile("a.dat"));
  ExpectOneEntry(Error(3001, {Title20058("updates\\a.dat"), "12150"}));
  EXPECT_FALSE(run->FetchFile("b.dat"));
  EXPECT_EQ(GetLastError(), ERROR_CRC);
  ExpectOneEntry(Error(3001, {Title20058("updates\\b.dat"), "23"}));
  EXPECT_EQ(Requests("/updates/a.dat"), 3u);
  EXPECT_EQ(Requests("/updates/b.dat"), 3u);
  EXPECT_FALSE(FileExists(backup_ + "/a.dat"));
  EXPECT_FALSE(FileExists(backup_ + "/b.dat"));
}

TEST_F(HttpTransportTest, BodiesAreTakenAtTheirAnnouncedLength) {
  ScriptedResponse longer = Response("alpha and more");
  longer.contentLength = "5";
  server_.Serve("/updates/a.dat", longer);
  ScriptedResponse broken = Response("bravo");
  broken.fault = ScriptedResponse::Fault::kCloseAfter;
  broken.faultOffset = 2;
  server_.Serve("/updates/b.dat", broken);
  server_.ServeBody("/updates/b.dat", "bravo");
  server_.Serve("/updates/c.dat", broken);
  auto run = Connected();
  run->Expect("a.dat", "alpha");
  run->Expect("b.dat", "bravo");
  EXPECT_TRUE(run->FetchFile("a.dat"));
  EXPECT_EQ(ReadFile(backup_ + "/a.dat"), "alpha");
  EXPECT_TRUE(run->FetchFile("b.dat"));  // the second attempt is whole: nothing is logged
  EXPECT_EQ(ReadFile(backup_ + "/b.dat"), "bravo");
  EXPECT_TRUE(log_.entries().empty()) << log_.Dump();
  config_->downloadRetries = 0;
  EXPECT_FALSE(run->FetchFile("c.dat"));
  ExpectOneEntry(Error(3001, {Title20058("updates\\c.dat"), "12030"}));
}

TEST_F(HttpTransportTest, StalledBodyFailsAfterTheStallLimit) {
  ScriptedResponse stalled = Response("alpha");
  stalled.fault = ScriptedResponse::Fault::kStallAfter;
  stalled.faultOffset = 2;
  server_.Serve("/updates/a.dat", stalled);
  config_->downloadRetries = 0;
  SetInternetTimeouts({10000, 1000});
  auto run = Connected();
  EXPECT_FALSE(run->FetchFile("a.dat"));
  ExpectOneEntry(Error(3001, {Title20058("updates\\a.dat"), "12002"}));
}

TEST_F(HttpTransportTest, NamesThatWouldLeaveTheBackupDirectoryAndUnwritableFiles) {
  server_.ServeBody("/updates/a.dat", "alpha");
  auto run = Connected();
  for (const std::string name : {"../evil.dat", "a\\b.dat", "..", ""}) {
    EXPECT_FALSE(run->FetchFile(name));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    ExpectOneEntry(Error(3001, {Title20058("updates\\" + name), "123"}));
  }
  EXPECT_EQ(server_.RequestLines().size(), 1u);  // the trigger file only
  MakeDirectories(backup_ + "/a.dat");           // a directory where the file goes
  EXPECT_FALSE(run->FetchFile("a.dat"));
  ExpectOneEntry(Error(3001, {"Failed to write to file \"\"" + backup_ + "/a.dat\"\"", "5"}));
}

TEST_F(HttpTransportTest, HttpsConnectsOnlyToATrustedServer) {
  if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
  WriteFile(dir_ / "www/updates/trigger.crc", kTrigger);
  MakeDirectories(dir_ / "certs");
  const TestCertificates certs = MakeTestCertificates(dir_ / "certs");
  NginxServer nginx({dir_ / "www", certs.serverCert, certs.serverKey});
  NginxServer otherName({dir_ / "www", certs.otherNameCert, certs.otherNameKey});
  // The system's store knows nothing of the test authority, nor does an unrelated one.
  EXPECT_FALSE(Run(nginx.url())->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12045"}));
  SetInternetCaFile(certs.unrelatedCaCert.c_str());
  EXPECT_FALSE(Run(nginx.url())->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12045"}));
  SetInternetCaFile(certs.caCert.c_str());
  EXPECT_FALSE(Run(otherName.url())->Connect());
  ExpectOneEntry(Error(3001, {kTitle20051, "12038"}));
  auto run = Run(nginx.url());
  EXPECT_TRUE(run->Connect()) << log_.Dump();
  EXPECT_EQ(run->trigger(), kTrigger);
  EXPECT_TRUE(otherName.RequestLines().empty());
}

// The scheme of the server as the cycle resolves it picks the transport.
TEST_F(HttpTransportTest, TheServersSchemeChoosesTheTransport) {
  for (const char* server : {"http://updates.example", "HTTPS://updates.example:8443/"}) {
    config_.SetText(&UpdateConfig::serverName, server);
    EXPECT_NE(dynamic_cast<CHttpUpdates*>(CreateRunObject(slot_.get()).get()), nullptr) << server;
  }
  for (const char* server : {"updates.example", "ftp://updates.example", "ftps://u.example:990",
                             "gopher://updates.example"}) {
    config_.SetText(&UpdateConfig::serverName, server);
    EXPECT_NE(dynamic_cast<CFtpUpdates*>(CreateRunObject(slot_.get()).get()), nullptr) << server;
  }
  config_.SetText(&UpdateConfig::serverName, nullptr);
  config_.SetString("UpdateServer", "http://from.property");
  EXPECT_NE(dynamic_cast<CHttpUpdates*>(CreateRunObject(slot_.get()).get()), nullptr);
  config_.SetString("UpdateServer", "");
}

}  // namespace
