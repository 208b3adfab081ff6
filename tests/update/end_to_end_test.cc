// Whole update cycles through the exported entry points, against pyftpdlib on loopback, with the
// host stand-ins' property store and log. The worker runs in requested-only mode; each cycle is
// asked for through the update-now property and seen to end through the next-update time that
// the worker publishes after every pass.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/process.h"
#include "support/scripted_ftp_server.h"
#include "support/fresh_store.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;
const std::string kDisplay = "MailFilter0 Display";

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() : config_("MailFilter0", dir_ / "root") {
    config_.SetDword("UpdateInterval", 0);  // only requested cycles
    config_->retryInterval = 60;
    SetInternetTimeouts({5000, 5000});
  }
  ~EndToEndTest() override {
    StopRepositoryUpdateThread();
    SetInternetTimeouts({});
  }

  void Serve() {
    PyFtpServerOptions options;
    options.root = served_;
    options.users = {{"updater", "s3cret-pass"}};
    MakeDirectories(served_ + "/updates");
    server_ = std::make_unique<PyFtpServer>(options);
    config_.SetText(&UpdateConfig::serverName,
                    ("ftp://127.0.0.1:" + std::to_string(server_->port())).c_str());
  }

  // Publishes a set: the files and a trigger file naming them.
  void Publish(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string trigger;
    for (const auto& [name, content] : files) {
      WriteFile(served_ + "/updates/" + name, content);
      trigger += ChecksumLine(name, content);
    }
    WriteFile(served_ + "/updates/trigger.crc", trigger);
  }

  // Runs one requested cycle and tells whether it succeeded (the worker records the time of a
  // successful cycle only).
  bool Cycle() {
    config_.SetDword("NextUpdateTime", kSentinel);
    config_.SetDword("LastUpdateTime", 0);
    config_.SetDword("UpdateNow", 1);
    if (!started_) {
      EXPECT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
      started_ = true;
    }
    std::uint32_t next = kSentinel;
    EXPECT_TRUE(config_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next))
        << "the pass did not end";
    std::uint32_t last = 0;
    return config_.GetDword("LastUpdateTime", &last) && last != 0;
  }

  std::string Installed(const std::string& name) {
    return ReadFile(config_.definitionsDir() + "/" + name);
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string served_ = dir_ / "served";
  TestConfig config_;
  std::unique_ptr<PyFtpServer> server_;
  bool started_ = false;
};

TEST_F(EndToEndTest, FirstUpdateThenNothingNewThenOneChangedFile) {
  Serve();
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}, {"rules.cfg", "rules"}});
  LogCapture log;
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("rules.cfg"), "rules");
  EXPECT_EQ(Installed("trigger.crc"), ReadFile(served_ + "/updates/trigger.crc"));
  EXPECT_TRUE(log.Contains(Is(Operation(3002, {"Updating the " + kDisplay + " definition files",
                                               "Updated 3 files: a.dat, b.dat, rules.cfg"}))))
      << log.Dump();
  std::uint32_t triggerTime = 0;
  EXPECT_TRUE(config_.GetDword("TriggerFileTime", &triggerTime));
  EXPECT_NE(triggerTime, 0u);
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 1);

  // Nothing new: no download, the nothing-to-absorb hook, an empty record stored.
  log.Clear();
  const std::size_t retrievals = server_->CountCommands("RETR");
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_EQ(server_->CountCommands("RETR"), retrievals + 1);  // the trigger file alone
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 1);
  std::string record;
  ASSERT_TRUE(config_.GetString("InstalledFiles", &record));
  EXPECT_EQ(record, "");
  EXPECT_TRUE(log.entries().empty()) << log.Dump();

  // One changed file is fetched alone.
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo, second edition"}, {"rules.cfg", "rules"}});
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Operation(
      3002, {"Updating the " + kDisplay + " definition files", "Updated 1 files: b.dat"}))))
      << log.Dump();
  EXPECT_EQ(Installed("b.dat"), "bravo, second edition");
  EXPECT_EQ(IllegalUpdatesDetected(), 0u);
}

TEST_F(EndToEndTest, FailedDownloadLeavesTheDefinitionsAndTheReferenceAsTheyWere) {
  Serve();
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}});
  ASSERT_TRUE(Cycle());
  const std::string oldTrigger = ReadFile(config_.backupDir() + "/trigger.crc");
  // The new trigger file announces a b.dat whose CRC the server's b.dat does not have.
  WriteFile(served_ + "/updates/a.dat", "alpha two");
  WriteFile(served_ + "/updates/trigger.crc",
            ChecksumLine("a.dat", "alpha two") + ChecksumLine("b.dat", "not what is served"));
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"updates/b.dat\"\" file", "23"}))))
      << log.Dump();
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("b.dat"), "bravo");
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), oldTrigger);
  EXPECT_EQ(Installed("trigger.crc"), oldTrigger);
}

TEST_F(EndToEndTest, PendingFileMakesTheNextNewSetComeWhole) {
  Serve();
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}});
  ASSERT_TRUE(Cycle());
  WriteFile(config_.definitionsDir() + "/pending.flag", "engine busy");
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo two"}});
  LogCapture log;
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Error(
      3001, {"Confirm that the updates have been absorbed by the " + kDisplay + " processor.",
             "The file already exists locally and has not been consumed by the  " + kDisplay +
                 " engine.  This means that the " + kDisplay +
                 " engine is either not running, or running using out of date definitions."}))))
      << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Operation(
      3002, {"Updating the " + kDisplay + " definition files", "Updated 2 files: a.dat, b.dat"}))))
      << log.Dump();
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/pending.flag"));
}

TEST_F(EndToEndTest, AlteredInstalledFilesSwitchTheWorkerToRequestedOnly) {
  Serve();
  config_.SetDword("UpdateInterval", 600);
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}});
  ASSERT_TRUE(Cycle());
  WriteFile(config_.definitionsDir() + "/new.dat", "a new file does not count");
  // A failed cycle (the server is gone) makes the worker check the installed files.
  server_.reset();
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
  std::uint32_t next = 0;
  ASSERT_TRUE(config_.GetDword("NextUpdateTime", &next));
  EXPECT_NE(next, 0u);  // still scheduled: backing off

  WriteFile(config_.definitionsDir() + "/b.dat", "tampered");
  EXPECT_FALSE(Cycle());
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
  EXPECT_TRUE(log.Contains(Is(
      Error(3001, {"Checking the integrity of the " + kDisplay + " definition files",
                   "Invalid " + kDisplay + "definition files detected.  Disabling " + kDisplay +
                       " processing for this mail server.  Please contact technical support."}))))
      << log.Dump();
  ASSERT_TRUE(config_.GetDword("NextUpdateTime", &next));
  EXPECT_EQ(next, 0u);  // requested-only
}

TEST_F(EndToEndTest, StopDuringDownloadsSuspendsTheRemainingFiles) {
  ScriptedFtpServer server;
  ScriptedFile slow;
  slow.content = "slow";
  slow.fault = ScriptedFile::Fault::kStallAfter;
  slow.faultOffset = 2;
  server.AddFile("/updates/a.dat", slow);
  server.AddFile("/updates/b.dat", "bravo");
  server.AddFile("/updates/c.dat", "charlie");
  server.AddFile("/updates/trigger.crc", ChecksumLine("a.dat", "slow") +
                                             ChecksumLine("b.dat", "bravo") +
                                             ChecksumLine("c.dat", "charlie"));
  config_.SetText(&UpdateConfig::serverName,
                  ("ftp://127.0.0.1:" + std::to_string(server.port())).c_str());
  SetInternetTimeouts({5000, 3000});
  config_->downloadRetries = 0;
  LogCapture log;
  config_.SetDword("UpdateNow", 1);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  // Stop while a.dat stalls: the loop sees the stop once that download has failed.
  while (server.CountCommands("RETR") < 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  StopRepositoryUpdateThread();
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"updates\\a.dat\"\" file",
                                           "Service shutting down.  Update process suspended "
                                           "with 2 files still to update."}))))
      << log.Dump();
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/b.dat"));
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/trigger.crc"));
}

TEST_F(EndToEndTest, UnparsableTriggerFileFailsTheCycleWithInvalidData) {
  Serve();
  WriteFile(served_ + "/updates/trigger.crc", "0 a.dat\r\n");
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"trigger.crc\"\" file", "13"}))))
      << log.Dump();
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 1);
}

TEST_F(EndToEndTest, UnsafeNameInTheTriggerFileFailsTheCycleAndInstallsNothing) {
  Serve();
  WriteFile(served_ + "/updates/a.dat", "alpha");
  WriteFile(served_ + "/escape.dat", "outside");
  WriteFile(served_ + "/updates/trigger.crc",
            ChecksumLine("a.dat", "alpha") + ChecksumLine("../escape.dat", "outside"));
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_TRUE(
      log.Contains(Is(Error(3001, {"Updating the \"\"updates/../escape.dat\"\" file", "123"}))))
      << log.Dump();
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/a.dat"));
  EXPECT_FALSE(FileExists(config_.root() + "/escape.dat"));
  for (const LogEntry& entry : log.entries()) {
    for (const std::string& text : entry.texts)
      EXPECT_EQ(text.find("s3cret-pass"), std::string::npos);
  }
}

// The record of installed files survives a restart of the process through its property: a child
// process runs the first cycle against a store file, this process then checks with an empty
// record in memory.
TEST_F(EndToEndTest, RecordSurvivesARestartThroughItsProperty) {
  if (std::getenv("FR_E2E_CHILD_STORE") != nullptr) GTEST_SKIP() << "the child's own run";
  const std::string store = dir_ / "store.db";
  ASSERT_TRUE(SetPropertyStorePath(store.c_str()));
  TestConfig config("MailFilter0", dir_ / "root");  // on the file store
  struct StopWhenDone {
    ~StopWhenDone() { StopRepositoryUpdateThread(); }
  } stop;
  Serve();
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}});
  setenv("FR_E2E_CHILD_STORE", store.c_str(), 1);
  setenv("FR_E2E_CHILD_ROOT", (dir_ / "root").c_str(), 1);
  setenv("FR_E2E_CHILD_PORT", std::to_string(server_->port()).c_str(), 1);
  const int status = ChildProcess::Run(
      {"/proc/self/exe", "--gtest_filter=EndToEndChild.FirstCycle"}, dir_ / "child.log");
  unsetenv("FR_E2E_CHILD_STORE");
  ASSERT_EQ(status, 0) << ReadFile(dir_ / "child.log");
  ASSERT_EQ(ReadFile(dir_ / "root/definitions/a.dat"), "alpha");

  WriteFile(dir_ / "root/definitions/a.dat", "tampered after the restart");
  config.SetDword("UpdateInterval", 0);
  config.SetText(&UpdateConfig::serverName, "ftp://127.0.0.1:1");  // cycles fail from now on
  config.SetDword("UpdateNow", 1);
  config.SetDword("NextUpdateTime", kSentinel);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  std::uint32_t next = kSentinel;
  EXPECT_TRUE(config.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
  StopRepositoryUpdateThread();
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
  SetPropertyStorePath(nullptr);
}

TEST(EndToEndChild, FirstCycle) {
  const char* store = std::getenv("FR_E2E_CHILD_STORE");
  if (store == nullptr)
    GTEST_SKIP() << "only as the child of RecordSurvivesARestartThroughItsProperty";
  ASSERT_TRUE(SetPropertyStorePath(store));
  TestConfig config("MailFilter0", std::getenv("FR_E2E_CHILD_ROOT"));
  struct StopWhenDone {
    ~StopWhenDone() { StopRepositoryUpdateThread(); }
  } stop;
  config.SetText(&UpdateConfig::serverName,
                 (std::string("ftp://127.0.0.1:") + std::getenv("FR_E2E_CHILD_PORT")).c_str());
  config.SetDword("UpdateInterval", 0);
  config.SetDword("UpdateNow", 1);
  config.SetDword("NextUpdateTime", kSentinel);
  config.SetDword("LastUpdateTime", 0);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  std::uint32_t next = kSentinel;
  EXPECT_TRUE(config.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
  StopRepositoryUpdateThread();
  std::uint32_t last = 0;
  ASSERT_TRUE(config.GetDword("LastUpdateTime", &last));
  ASSERT_NE(last, 0u);
  std::string record;
  ASSERT_TRUE(config.GetString("InstalledFiles", &record));
  ASSERT_FALSE(record.empty());
}

}  // namespace
