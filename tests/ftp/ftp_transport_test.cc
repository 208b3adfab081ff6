// The FTP transport as the update cycle drives it: whole runs against a real server (pyftpdlib in
// passive and in active mode, and without MLSD, so that it lists with LIST) on one login each; and,
// against the scripted server, Connect's and FetchFile's failures with their exact entries (the
// password masked), the time limits of the probe and of a server that stops answering, and
// which failures are retried. Names that would leave the backup directory are the security
// test's, through whole cycles; here only one with a NUL, which no trigger file can carry.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "platform/internet/transfer.h"
#include "support/fresh_store.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/process.h"
#include "support/scripted_ftp_server.h"
#include "support/signing_files.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;
using Fault = ScriptedFile::Fault;

// The transport with the members the cycle would set made reachable.
class TestFtpUpdates : public CFtpUpdates {
 public:
  TestFtpUpdates(UpdateSlot* slot, const std::string& server, const std::string& backup)
      : CFtpUpdates(slot) {
    m_strServer = server;
    m_strRemoteDir = "updates";
    m_strUserName = "updater";
    m_strPassword = "s3cret-pass";
    m_strBackupDir = backup;
  }
  using CFtpUpdates::m_strPassword;
  using CFtpUpdates::m_strRemoteDir;
  using CFtpUpdates::m_strUserName;
  using CFtpUpdates::m_triggerData;
  std::string trigger() const {
    return std::string(reinterpret_cast<const char*>(m_pRemoteTriggerFile),
                       m_nRemoteTriggerFileSize);
  }
};

const std::string kTrigger = "5 a.dat\r\n";
const std::string kTitle20051 = "Connecting to the AntiVirus Display updates server";

class FtpTransportTest : public ::testing::Test {
 protected:
  FtpTransportTest() {
    // Limits of 0 stand for the defaults; a proxy that the environment names is never used.
    SetInternetTimeouts({0, 0});
    setenv("all_proxy", "http://127.0.0.1:1", 1);
    MakeDirectories(backup_);
    scripted_.AddFile("/updates/trigger.crc", kTrigger);
    scripted_.AddFile("/updates/a.dat", "alpha");
  }
  ~FtpTransportTest() override {
    EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore_) << "traced blocks leaked";
  }

  std::unique_ptr<TestFtpUpdates> Run(std::uint16_t port, const std::string& host = "127.0.0.1") {
    return std::make_unique<TestFtpUpdates>(slot_.get(),
                                            "ftp://" + host + ":" + std::to_string(port), backup_);
  }
  // Exactly `expected` was logged since the last check.
  void ExpectLogged(const std::vector<ExpectedEntry>& expected) {
    const std::vector<LogEntry> entries = log_.entries();
    ASSERT_EQ(entries.size(), expected.size()) << log_.Dump();
    for (std::size_t i = 0; i < entries.size(); ++i)
      EXPECT_TRUE(Matches(entries[i], expected[i])) << i << ": " << log_.Dump();
    log_.Clear();
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string backup_ = dir_ / "root/backup";
  TestConfig config_{"AntiVirus", dir_ / "root"};
  TestSlot slot_{config_};
  ScriptedFtpServer scripted_;
  LogCapture log_;
  const std::size_t blocksBefore_ = CMemoryDebugging::OutstandingBlocks();
};

// A run fetches every file, under our name where the server lists it in another letter case,
// with one login, one listing (a server without MLSD refuses it, then lists with LIST) and one
// retrieval a file, in the mode the passive property asks for, and never waits blind on libcurl.
TEST_F(FtpTransportTest, RealServersServeAWholeRunOnOneLogin) {
  const std::map<std::string, std::string> files = {{"a.dat", "alpha"},
                                                    {"name  with   spaces.dat", "spaces"},
                                                    {"Mixed.DAT", "mixed"},
                                                    {"big.dat", std::string(300000, 'b')}};
  WriteFile(dir_ / "served/updates/trigger.crc", kTrigger);
  for (const auto& [name, content] : files) WriteFile(dir_ / "served/updates/" + name, content);
  for (const std::string server : {"passive", "active", "without MLSD"}) {
    SCOPED_TRACE(server);
    const bool active = server == "active", listOnly = server == "without MLSD";
    PyFtpServer python({dir_ / "served", {{"updater", "s3cret-pass"}}, false, !listOnly});
    config_.SetDword("PassiveFtp", active ? 0 : 1);
    auto run = Run(python.port(), "localhost");
    const std::uint64_t blindWaits = internet::WaitsWithoutSocket();
    ASSERT_TRUE(run->Connect()) << log_.Dump();
    EXPECT_EQ(run->trigger(), kTrigger);
    for (const auto& [name, content] : files) {
      const std::string ours = name == "Mixed.DAT" ? "mixed.dat" : name;
      run->m_triggerData.SetAt(ours, CalculateBufferCrc32(content.data(), content.size()));
      EXPECT_TRUE(run->FetchFile(ours)) << ours;
      EXPECT_EQ(ReadFile(backup_ + "/" + ours), content);
    }
    run->Disconnect();
    ExpectLogged({});
    EXPECT_EQ(internet::WaitsWithoutSocket(), blindWaits);
    const std::vector<std::string> transcript = python.Transcript();
    EXPECT_EQ(CountVerb(transcript, "USER"), 1u);
    EXPECT_EQ(CountVerb(transcript, "MLSD"), 1u);
    EXPECT_EQ(CountVerb(transcript, "RETR"), files.size() + 1);
    EXPECT_EQ(CountVerb(transcript, "EPRT") + CountVerb(transcript, "PORT") != 0, active);

    if (server != "passive") continue;
    // The file listed as Mixed.DAT is checked against the CRC announced for our name.
    ASSERT_TRUE(run->Connect());
    run->m_triggerData.SetAt("mixed.dat", 1);
    EXPECT_FALSE(run->FetchFile("mixed.dat"));
    log_.Clear();
    run->m_strPassword = "wrong-password";
    EXPECT_FALSE(run->Connect());
    ExpectLogged({Error(3001, {kTitle20051, "12014: " + InternetErrorText(12014)})});
  }
}

TEST_F(FtpTransportTest, ConnectFailuresLogExactEntriesAndNeverThePassword) {
  EXPECT_FALSE(Run(ScriptedFtpServer::RefusingPort())->Connect());
  EXPECT_FALSE(TestFtpUpdates(slot_.get(), "no-such-host.invalid", backup_).Connect());
  ExpectLogged({Error(3001, {kTitle20051, "1460"}), Error(3001, {kTitle20051, "1460"})});

  // A listener whose accept queue is full never completes a handshake: the probe gives up at
  // its limit.
  const Listener silent(INADDR_LOOPBACK, 0, true);
  config_->probeTimeoutMs = 300;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Run(silent.port)->Connect());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  // A stop ends a longer wait after its grace.
  config_->probeTimeoutMs = 600000;
  SetEvent(slot_->m_hStopEvent);
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Run(silent.port)->Connect());
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kStopGraceMs) + std::chrono::seconds(5));
  ResetEvent(slot_->m_hStopEvent);
  // A list without an address to try waits out the limit, as for a server that never answers.
  config_->probeTimeoutMs = 300;
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TestFtpUpdates(slot_.get(), "0.0.0.0", backup_).Connect());
  EXPECT_FALSE(TestFtpUpdates(slot_.get(), "255.255.255.255", backup_).Connect());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  ExpectLogged({Error(3001, {kTitle20051, "1460"}), Error(3001, {kTitle20051, "1460"}),
                Error(3001, {kTitle20051, "1460"}), Error(3001, {kTitle20051, "1460"})});

  // A reply that echoes the password is logged whole with the password masked each time; our own
  // texts are not masked, even where they hold it. A directory or user name with a line break
  // cannot smuggle in a command. A server that stops answering fails after the stall limit.
  scripted_.AddRule(
      {"CWD", "updates", ScriptedRule::Action::kReply, "550-Viru?Viru\r\n550 Gone.\r\n", -1});
  auto echoed = Run(scripted_.port());
  echoed->m_strPassword = "Viru";  // the shortest password masked
  EXPECT_FALSE(echoed->Connect());
  echoed->m_strRemoteDir = "updates\r\nDELE a.dat";
  EXPECT_FALSE(echoed->Connect());
  EXPECT_EQ(scripted_.CountCommands("DELE"), 0u);
  scripted_.AddRule({"PASS", {}, ScriptedRule::Action::kReply, "332 Need account.\r\n", 1});
  EXPECT_FALSE(Run(scripted_.port())->Connect());  // an account is neither user nor password
  scripted_.AddRule({"USER", {}, ScriptedRule::Action::kReply, "421 Too many users.\r\n", 1});
  EXPECT_FALSE(Run(scripted_.port())->Connect());
  scripted_.AddRule({"USER", {}, ScriptedRule::Action::kStall, "", -1});
  SetInternetTimeouts({2000, 1500});
  EXPECT_FALSE(echoed->Connect());
  echoed->m_strUserName = "updater\r\nDELE a.dat";
  EXPECT_FALSE(echoed->Connect());
  ExpectLogged(
      {Error(3001, {"Failed to find the updates directory on the remote FTP server",
                    "12003:550 - 550-********?********\r\n550 Gone."}),
       Error(3001, {"Failed to find the updates directory on the remote FTP server", "123"}),
       Error(3001, {kTitle20051, "12015: " + InternetErrorText(12015)}),
       Error(3001, {kTitle20051, "12003:421 - 421 Too many users.: " + InternetErrorText(12003)}),
       Error(3001, {kTitle20051, "12002: " + InternetErrorText(12002)}),
       Error(3001, {kTitle20051, "12013: " + InternetErrorText(12013)})});

  // Listings that fail: refused, without a passive mode (PASV: 502), without MLSD (LIST: 502),
  // ended with the control connection, and empty.
  ScriptedFtpServer bare;
  bare.AddDirectory("/updates");
  const std::string kUpdating = "Updating the \"\"";
  const std::string kEnumerating =
      "Failed to enumerate the remote directory.  This is likely to be due to a firewall "
      "blocking the request.  Try changing to Passive FTP and check firewall settings.";
  using Action = ScriptedRule::Action;
  for (const auto& [rule, detail] : std::vector<std::pair<ScriptedRule, std::string>>{
           {{"MLSD", {}, Action::kReply, "550 No listing.\r\n", 1}, "12003:550 - 550 No listing."},
           {{"EPSV", {}, Action::kReply, "500 No.\r\n", 1}, "12112"},
           {{"MLSD", {}, Action::kReply, "502 ?\r\n", 1},
            "12003:502 - 502 Command not implemented."},
           {{"MLSD", {}, Action::kClose, "", 1}, "12111"},
           {{"MLSD", {}, Action::kReply, "", 0}, "18"}}) {
    bare.AddRule(rule);
    EXPECT_FALSE(Run(bare.port())->Connect());
    ExpectLogged({Error(3001, {kEnumerating, detail}),
                  Error(3001, {kUpdating + "updates/trigger.crc\"\" file",
                               "The remote file does not exist."})});
  }

  // What a server lacks: a trigger file over its limit, then the trigger file; an address of
  // another scheme is none for FTP, a server without TLS none for ftps://. A run connected again
  // keeps one trigger file. Files listed in another letter case are asked for as listed and named
  // as configured.
  bare.AddFile("/updates/Trigger.CRC", ScriptedFile{kTrigger, (16u << 20) + 1});
  EXPECT_FALSE(Run(bare.port())->Connect());
  bare.AddRule({"RETR", "Trigger.CRC", Action::kReply, "550 Gone.\r\n", 1});
  EXPECT_FALSE(Run(bare.port())->Connect());
  EXPECT_FALSE(TestFtpUpdates(slot_.get(), "http://127.0.0.1", backup_).Connect());
  const std::string tls = "ftps://127.0.0.1:" + std::to_string(bare.port());
  EXPECT_FALSE(TestFtpUpdates(slot_.get(), tls, backup_).Connect());
  ExpectLogged(
      {Error(3001, {kUpdating + "trigger.crc\"\" file",
                    "The server announces 16777217 bytes, more than the limit of 16777216 bytes."}),
       Error(3001, {kUpdating + "trigger.crc\"\" file", "8"}),
       Error(3001, {kUpdating + "Trigger.CRC\"\" file", "12003:550 - 550 Gone."}),
       Error(3001, {kUpdating + "updates\\trigger.crc\"\" file", "3"}),
       Error(3001, {kTitle20051, "12005: " + InternetErrorText(12005)}),
       Error(3001, {kTitle20051, "12157: " + InternetErrorText(12157)})});
  bare.AddFile("/updates/Trigger.CRC", kTrigger);
  bare.AddFile("/updates/AT.minisig", std::string(16384, 's'));
  bare.AddFile("/updates/over.minisig", std::string(16385, 's'));
  bare.AddFile("/updates/refused.minisig", "s");
  bare.AddRule({"RETR", "refused.minisig", ScriptedRule::Action::kReply, "550 Locked.\r\n", -1});
  auto twice = Run(bare.port());
  EXPECT_TRUE(twice->Connect() && twice->Connect());
  EXPECT_EQ(twice->trigger(), kTrigger);
  ExpectSigningFileLimits(*twice, ERROR_INTERNET_EXTENDED_ERROR);
}

TEST_F(FtpTransportTest, FetchFailuresAreRetriedWhereThatCanHelpAndLoggedOnce) {
  const std::string big(100000, 'f');
  scripted_.AddFile("/updates/grown.dat", ScriptedFile{"grown content", 5, Fault::kNone, 0, -1});
  scripted_.AddFile("/updates/shrunk.dat", ScriptedFile{"s", 5, Fault::kNone, 0, -1});
  scripted_.AddFile("/updates/broken.dat", ScriptedFile{big, {}, Fault::kBreakAfter, 1000, -1});
  // The first download loses the data and the control connection.
  scripted_.AddFile("/updates/flaky.dat", ScriptedFile{big, {}, Fault::kDropAfter, 1000, 1});
  scripted_.AddFile("/updates/locked.dat", "locked");
  scripted_.AddRule({"RETR", "locked.dat", ScriptedRule::Action::kReply, "550 Locked.\r\n", 1});
  auto run = Run(scripted_.port());
  ASSERT_TRUE(run->Connect());

  // Each fails and is logged once: lengths other than listed, a transfer broken every time, a
  // name not listed, and refusals, which are not retried (a refusal is for one download).
  for (const auto& [path, detail] : std::vector<std::pair<std::string, std::string>>{
           {"updates/grown.dat", "122"},
           {"updates/shrunk.dat", "1104"},
           {"updates/broken.dat", "12030"},
           {"updates/absent.dat", "The remote file does not exist."},
           {"locked.dat", "12003:550 - 550 Locked."}}) {
    EXPECT_FALSE(run->FetchFile(path.substr(path.find('/') + 1)));
    ExpectLogged({Error(3001, {"Updating the \"\"" + path + "\"\" file", detail})});
  }
  EXPECT_TRUE(run->FetchFile("flaky.dat"));  // broken once, then whole: nothing logged
  EXPECT_EQ(ReadFile(backup_ + "/flaky.dat"), big);
  // A name with a NUL is refused with the invalid-name code (the log's texts end at the NUL).
  EXPECT_FALSE(run->FetchFile(std::string("a\0b", 3)));
  ExpectLogged({Error(3001, {"Updating the \"\"updates/a", "123"})});
}

// A server named without a port is reached at 21 (in a network namespace of the test's own).
TEST_F(FtpTransportTest, AServerWithoutAPortIsReachedAt21) {
  if (!OwnLoopbackNetwork()) GTEST_SKIP() << "a network namespace of its own needs root";
  setenv("FR_TEST_PORT", "21", 1);
  ScriptedFtpServer standard;
  unsetenv("FR_TEST_PORT");
  standard.AddFile("/updates/trigger.crc", kTrigger);
  for (const char* server : {"127.0.0.1", "ftp://127.0.0.1"}) {
    TestFtpUpdates run(slot_.get(), server, backup_);
    EXPECT_TRUE(run.Connect()) << server << log_.Dump();
    EXPECT_EQ(run.trigger(), kTrigger);
  }
}

}  // namespace
