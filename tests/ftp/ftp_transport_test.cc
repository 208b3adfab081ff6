// The FTP transport against a real server (pyftpdlib) and the scripted one: Connect's failure
// table with its exact entries, FetchFile's length and CRC checks and retries, the server's name
// forms, and the commands a run sends.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/scripted_ftp_server.h"
#include "support/fresh_store.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

// The transport with the members the cycle would set made settable.
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
  void SetRemoteDir(const std::string& dir) { m_strRemoteDir = dir; }
  void SetPassword(const std::string& password) { m_strPassword = password; }
  void Expect(const std::string& name, DWORD crc) { m_triggerData.SetAt(name, crc); }
  std::string trigger() const {
    return std::string(reinterpret_cast<const char*>(m_pRemoteTriggerFile),
                       static_cast<std::size_t>(m_nRemoteTriggerFileSize));
  }
  bool hasTrigger() const { return m_pRemoteTriggerFile != nullptr; }
};

DWORD Crc(const std::string& text) {
  return CalculateBufferCrc32(text.data(), static_cast<DWORD>(text.size()));
}

const std::string kTrigger = "5 a.dat\r\n";
const std::string kTitle20051 = "Connecting to the AntiVirus Display updates server";

class FtpTransportTest : public ::testing::Test {
 protected:
  FtpTransportTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {
    MakeDirectories(backup_);
    SetInternetTimeouts({10000, 10000});
    config_->probeTimeoutMs = 2000;
    config_->downloadRetries = 2;
    blocksBefore_ = CMemoryDebugging::OutstandingBlocks();
  }
  ~FtpTransportTest() override {
    SetInternetTimeouts({});
    EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore_) << "traced blocks leaked";
  }

  std::unique_ptr<TestFtpUpdates> Run(std::uint16_t port, const std::string& scheme = "ftp") {
    return std::make_unique<TestFtpUpdates>(
        slot_.get(), scheme + "://127.0.0.1:" + std::to_string(port), backup_);
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string backup_ = dir_ / "root/backup";
  TestConfig config_;
  TestSlot slot_;
  std::size_t blocksBefore_ = 0;
};

// --- Against pyftpdlib.

class FtpAgainstPyFtpdlib : public FtpTransportTest {
 protected:
  FtpAgainstPyFtpdlib() {
    WriteFile(served_ + "/updates/trigger.crc", kTrigger);
    WriteFile(served_ + "/updates/a.dat", "alpha");
    WriteFile(served_ + "/updates/Mixed.DAT", "mixed");
    PyFtpServerOptions options;
    options.root = served_;
    options.users = {{"updater", "s3cret-pass"}};
    server_ = std::make_unique<PyFtpServer>(options);
  }
  std::string served_ = dir_ / "served";
  std::unique_ptr<PyFtpServer> server_;
};

TEST_F(FtpAgainstPyFtpdlib, ConnectLogsInListsAndLoadsTheTriggerFileWithOneLogin) {
  LogCapture log;
  auto run = Run(server_->port());
  ASSERT_TRUE(run->Connect()) << log.Dump();
  EXPECT_TRUE(run->IsConnected());
  EXPECT_EQ(run->trigger(), kTrigger);
  run->Expect("a.dat", Crc("alpha"));
  EXPECT_TRUE(run->FetchFile("a.dat"));
  EXPECT_TRUE(run->FetchFile("mixed.dat"));  // listed as Mixed.DAT; written under our name
  EXPECT_EQ(ReadFile(backup_ + "/a.dat"), "alpha");
  EXPECT_EQ(ReadFile(backup_ + "/mixed.dat"), "mixed");
  run->Disconnect();
  EXPECT_FALSE(run->IsConnected());
  run->Disconnect();  // harmless
  EXPECT_TRUE(log.entries().empty()) << log.Dump();
  // The whole run on one control connection: one login, one directory change (the layer returns
  // to the login directory first), one listing, one retrieval per file.
  EXPECT_EQ(
      server_->Transcript(),
      (std::vector<std::string>{"USER updater", "PASS ****", "PWD", "CWD /", "CWD updates", "EPSV",
                                "TYPE A", "MLSD", "EPSV", "TYPE I", "RETR trigger.crc", "EPSV",
                                "RETR a.dat", "EPSV", "RETR Mixed.DAT", "QUIT"}));
}

TEST_F(FtpAgainstPyFtpdlib, ActiveModeWhenThePassivePropertyIsZero) {
  config_.SetDword("PassiveFtp", 0);
  auto run = Run(server_->port());
  ASSERT_TRUE(run->Connect());
  EXPECT_TRUE(run->FetchFile("a.dat"));
  EXPECT_EQ(server_->CountCommands("PASV") + server_->CountCommands("EPSV"), 0u);
  EXPECT_GE(server_->CountCommands("PORT") + server_->CountCommands("EPRT"), 1u);
}

TEST_F(FtpAgainstPyFtpdlib, RefusedLoginIsLoggedWithTheCodeAndTheLayersText) {
  LogCapture log;
  auto run = Run(server_->port());
  run->SetPassword("wrong-password");
  EXPECT_FALSE(run->Connect());
  EXPECT_FALSE(run->IsConnected());
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(
      Matches(log.entries()[0], Error(3001, {kTitle20051, "12014: " + InternetErrorText(12014)})))
      << log.Dump();
  EXPECT_EQ(log.entries()[0].first, "AntiVirus-error");
}

TEST_F(FtpAgainstPyFtpdlib, MissingUpdatesDirectoryDropsTheConnection) {
  LogCapture log;
  auto run = Run(server_->port());
  run->SetRemoteDir("no-such-dir");
  EXPECT_FALSE(run->Connect());
  EXPECT_FALSE(run->IsConnected());
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_EQ(log.entries()[0].texts[0],
            "Failed to find the updates directory on the remote FTP server");
  EXPECT_EQ(log.entries()[0].texts[1].rfind("12003:550 - 550 ", 0), 0u) << log.Dump();
}

TEST_F(FtpAgainstPyFtpdlib, PasswordEchoedByAServerNeverReachesTheLog) {
  // pyftpdlib echoes a CWD argument in its 550 reply; a directory named like the password shows
  // what any echo of it would do.
  LogCapture log;
  auto run = Run(server_->port());
  run->SetRemoteDir("s3cret-pass");
  EXPECT_FALSE(run->Connect());
  for (const LogEntry& entry : log.entries()) {
    for (const std::string& text : entry.texts)
      EXPECT_EQ(text.find("s3cret-pass"), std::string::npos) << text;
  }
}

// --- Against the scripted server.

class FtpAgainstScripted : public FtpTransportTest {
 protected:
  FtpAgainstScripted() {
    server_.AddFile("/updates/trigger.crc", kTrigger);
    server_.AddFile("/updates/a.dat", "alpha");
  }
  ScriptedFtpServer server_;
};

TEST_F(FtpAgainstScripted, UnreachableOrUnresolvableServerIsOneEntryAndNoLogin) {
  LogCapture log;
  EXPECT_FALSE(Run(ScriptedFtpServer::RefusingPort())->Connect());
  TestFtpUpdates unresolvable(slot_.get(), "no-such-host.invalid", backup_);
  EXPECT_FALSE(unresolvable.Connect());
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  for (const LogEntry& entry : log.entries()) {
    EXPECT_TRUE(Matches(entry, Error(3001, {kTitle20051, "1460"}))) << log.Dump();
  }
}

TEST_F(FtpAgainstScripted, TriggerFileListedInAnotherCaseIsFoundUnderTheServersName) {
  ScriptedFtpServer upper;
  upper.AddFile("/updates/TRIGGER.CRC", kTrigger);
  auto run = Run(upper.port());
  ASSERT_TRUE(run->Connect());
  EXPECT_EQ(run->trigger(), kTrigger);
  bool retrievedUpper = false;
  for (const std::string& command : upper.Transcript())
    retrievedUpper |= command == "RETR TRIGGER.CRC";
  EXPECT_TRUE(retrievedUpper);
}

TEST_F(FtpAgainstScripted, TriggerFileLongerOrShorterThanListedFailsWith122Or1104) {
  for (const auto& [listed, code] :
       {std::pair<std::uint64_t, const char*>{4, "122"}, {40, "1104"}}) {
    ScriptedFtpServer server;
    ScriptedFile trigger;
    trigger.content = kTrigger;
    trigger.listedSize = listed;
    server.AddFile("/updates/trigger.crc", trigger);
    LogCapture log;
    auto run = Run(server.port());
    EXPECT_FALSE(run->Connect());
    EXPECT_FALSE(run->IsConnected());
    EXPECT_FALSE(run->hasTrigger());
    ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
    EXPECT_TRUE(
        Matches(log.entries()[0], Error(3001, {"Updating the \"\"trigger.crc\"\" file", code})))
        << log.Dump();
  }
}

TEST_F(FtpAgainstScripted, ListingRefusedIsLoggedAndTheTriggerFileThenNotFound) {
  server_.Reply("MLSD", "550 Listing refused.\r\n");
  server_.Reply("LIST", "550 Listing refused.\r\n");
  LogCapture log;
  auto run = Run(server_.port());
  EXPECT_FALSE(run->Connect());
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_EQ(log.entries()[0].texts[0],
            "Failed to enumerate the remote directory.  This is likely to be due to a firewall "
            "blocking the request.  Try changing to Passive FTP and check firewall settings.");
  EXPECT_TRUE(
      Matches(log.entries()[1], Error(3001, {"Updating the \"\"updates/trigger.crc\"\" file",
                                             "The remote file does not exist."})));
}

TEST_F(FtpAgainstScripted, TriggerFileThatCannotBeOpenedLogsTwoEntries) {
  server_.Reply("RETR", "550 Permission denied.\r\n");
  LogCapture log;
  auto run = Run(server_.port());
  EXPECT_FALSE(run->Connect());
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0], Error(3001, {"Updating the \"\"trigger.crc\"\" file",
                                                     "12003:550 - 550 Permission denied."})))
      << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[1],
                      Error(3001, {"Updating the \"\"updates\\trigger.crc\"\" file", "3"})));
}

TEST_F(FtpAgainstScripted, CrcMismatchIsRetriedAndLoggedOnceWithTheDataError) {
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  run->Expect("a.dat", Crc("alpha") ^ 1);
  LogCapture log;
  EXPECT_FALSE(run->FetchFile("a.dat"));
  EXPECT_EQ(GetLastError(), ERROR_CRC);
  std::size_t attempts = 0;
  for (const std::string& command : server_.Transcript()) attempts += command == "RETR a.dat";
  EXPECT_EQ(attempts, 3u);  // retries 2: three attempts
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(
      Matches(log.entries()[0], Error(3001, {"Updating the \"\"updates/a.dat\"\" file", "23"})));
  EXPECT_FALSE(FileExists(backup_ + "/a.dat"));  // a file that fails its check is never written
}

TEST_F(FtpAgainstScripted, FileThatChangedLengthAfterTheListingFailsEveryAttempt) {
  ScriptedFile grown;
  grown.content = "grown content";
  grown.listedSize = 5;
  server_.AddFile("/updates/grown.dat", grown);
  ScriptedFile shrunk;
  shrunk.content = "s";
  shrunk.listedSize = 5;
  server_.AddFile("/updates/shrunk.dat", shrunk);
  config_->downloadRetries = 0;
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  LogCapture log;
  EXPECT_FALSE(run->FetchFile("grown.dat"));
  EXPECT_FALSE(run->FetchFile("shrunk.dat"));
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_EQ(log.entries()[0].texts[1], "122");
  EXPECT_EQ(log.entries()[1].texts[1], "1104");
}

TEST_F(FtpAgainstScripted, BrokenTransferIsRetriedUntilTheAttemptsRunOut) {
  ScriptedFile broken;
  broken.content = std::string(100000, 'b');
  broken.fault = ScriptedFile::Fault::kBreakAfter;
  broken.faultOffset = 1000;
  server_.AddFile("/updates/broken.dat", broken);
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  LogCapture log;
  EXPECT_FALSE(run->FetchFile("broken.dat"));
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0],
                      Error(3001, {"Updating the \"\"updates/broken.dat\"\" file", "12030"})))
      << log.Dump();
}

TEST_F(FtpAgainstScripted, BrokenFirstAttemptFollowedByAGoodOneLogsNothing) {
  ScriptedFile flaky;
  flaky.content = std::string(100000, 'f');
  flaky.fault = ScriptedFile::Fault::kDropAfter;  // data and control connection lost
  flaky.faultOffset = 1000;
  flaky.faultTimes = 1;
  server_.AddFile("/updates/flaky.dat", flaky);
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  run->Expect("flaky.dat", Crc(flaky.content));
  LogCapture log;
  EXPECT_TRUE(run->FetchFile("flaky.dat"));
  EXPECT_TRUE(log.entries().empty()) << log.Dump();
  EXPECT_EQ(ReadFile(backup_ + "/flaky.dat"), flaky.content);
}

TEST_F(FtpAgainstScripted, NamesNotListedOrRefusedAreNotRetried) {
  server_.AddRule(
      {"RETR", std::string("locked.dat"), ScriptedRule::Action::kReply, "550 Locked.\r\n", -1});
  server_.AddFile("/updates/locked.dat", "locked");
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  LogCapture log;
  EXPECT_FALSE(run->FetchFile("absent.dat"));
  EXPECT_FALSE(run->FetchFile("locked.dat"));
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0], Error(3001, {"Updating the \"\"updates/absent.dat\"\" file",
                                                     "The remote file does not exist."})));
  EXPECT_TRUE(Matches(log.entries()[1], Error(3001, {"Updating the \"\"locked.dat\"\" file",
                                                     "12003:550 - 550 Locked."})));
  std::size_t attempts = 0;
  for (const std::string& command : server_.Transcript()) attempts += command == "RETR locked.dat";
  EXPECT_EQ(attempts, 1u);
}

TEST_F(FtpAgainstScripted, UnwritableBackupFileIsReportedWithTheSystemCode) {
  MakeDirectories(backup_ + "/a.dat");  // a directory where the file goes
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  LogCapture log;
  EXPECT_FALSE(run->FetchFile("a.dat"));
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0],
                      Error(3001, {"Failed to write to file \"\"" + backup_ + "/a.dat\"\"", "5"})));
}

TEST_F(FtpAgainstScripted, NamesThatWouldLeaveTheBackupDirectoryAreNeverFetched) {
  server_.AddFile("/evil.dat", "outside");
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  for (const std::string& name : std::vector<std::string>{
           "../evil.dat", "/etc/evil.dat", "a\\b.dat", "..", ".", "", std::string("a\0b", 3)}) {
    LogCapture log;
    EXPECT_FALSE(run->FetchFile(name));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
    EXPECT_EQ(log.entries()[0].texts[1], "123");
  }
  EXPECT_EQ(server_.CountCommands("RETR"), 1u);  // the trigger file only
  EXPECT_FALSE(FileExists(dir_ / "root/evil.dat"));
}

TEST_F(FtpAgainstScripted, ConnectOnAConnectedObjectStartsAfresh) {
  auto run = Run(server_.port());
  ASSERT_TRUE(run->Connect());
  ASSERT_TRUE(run->Connect());
  EXPECT_EQ(server_.CountCommands("USER"), 2u);
  EXPECT_EQ(run->trigger(), kTrigger);
}

TEST_F(FtpAgainstScripted, ServerThatAcceptsAndNeverAnswersFailsAfterTheStallLimit) {
  ScriptedFtpServer silent;
  silent.StallGreeting();
  SetInternetTimeouts({2000, 1500});
  LogCapture log;
  auto run = Run(silent.port());
  EXPECT_FALSE(run->Connect());
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_EQ(log.entries()[0].texts[1].rfind("12002: ", 0), 0u) << log.Dump();
}

}  // namespace
