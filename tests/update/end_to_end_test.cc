// Whole update cycles through the exported entry points, against pyftpdlib on loopback, with the
// host stand-ins' property store and log. The worker runs in requested-only mode; each cycle is
// asked for through the update-now property and seen to end through the next-update time that
// the worker publishes after every pass. The configuration block changes only while the worker is
// stopped, as the host's contract requires.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "filerepository/filerepository.h"
#include "support/fresh_store.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;
const std::string kDisplay = "MailFilter0 Display";

ExpectedEntry Updated(const std::string& files) {
  return Operation(3002, {"Updating the " + kDisplay + " definition files", "Updated " + files});
}
const ExpectedEntry kAbsorb =
    Operation(3002, {"UpdatesAvailable()", "Attempting to absorb updates."});
const ExpectedEntry kPending =
    Error(3001, {"Confirm that the updates have been absorbed by the " + kDisplay + " processor.",
                 "The file already exists locally and has not been consumed by the  " + kDisplay +
                     " engine.  This means that the " + kDisplay +
                     " engine is either not running, or running using out of date definitions."});

class EndToEndTest : public ::testing::Test {
 protected:
  // pyftpdlib serves dir_/served to the configuration's user.
  EndToEndTest() : config_("MailFilter0", dir_ / "root") {
    config_.SetDword("UpdateInterval", 0);  // only requested cycles
    config_->retryInterval = 60;
    SetInternetTimeouts({5000, 5000});
    MakeDirectories(served_ + "/updates");
    server_ =
        std::make_unique<PyFtpServer>(PyFtpServerOptions{served_, {{"updater", "s3cret-pass"}}});
    config_.SetText(&UpdateConfig::serverName,
                    ("ftp://127.0.0.1:" + std::to_string(server_->port())).c_str());
  }
  ~EndToEndTest() override {
    StopRepositoryUpdateThread();
    SetInternetTimeouts({});
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

  // Runs one requested cycle, starting the worker if it is stopped, and tells whether it
  // succeeded (the worker records the time of a successful cycle only).
  bool Cycle() {
    config_.SetDword("NextUpdateTime", kSentinel);
    config_.SetDword("LastUpdateTime", 0);
    config_.SetDword("UpdateNow", 1);
    if (!started_) started_ = StartRepositoryUpdateThread(config_.get()) == 1u;
    EXPECT_TRUE(started_);
    std::uint32_t next = kSentinel;
    EXPECT_TRUE(config_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next))
        << "the pass did not end";
    std::uint32_t last = 0;
    return config_.GetDword("LastUpdateTime", &last) && last != 0;
  }
  void Stop() {
    StopRepositoryUpdateThread();
    started_ = false;
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

TEST_F(EndToEndTest, UpdatesFetchOnlyWhatChangedAndPromptTheEngineUntilItAbsorbs) {
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}, {"rules.cfg", "rules"}});
  // A trigger file that names itself, in any letter case, is not fetched as one of the set.
  const std::string trigger = served_ + "/updates/trigger.crc";
  WriteFile(trigger, ReadFile(trigger) + ChecksumLine("Trigger.CRC", "itself"));
  LogCapture log;
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("trigger.crc"), ReadFile(served_ + "/updates/trigger.crc"));
  EXPECT_TRUE(log.Contains(Is(Updated("3 files: a.dat, b.dat, rules.cfg")))) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(kAbsorb))) << log.Dump();
  std::uint32_t triggerTime = 0;
  EXPECT_TRUE(config_.GetDword("TriggerFileTime", &triggerTime) && triggerTime != 0);

  // Nothing new: the trigger file alone is read, an empty record is stored, and the
  // nothing-to-absorb hook decides the outcome (its refusal fails the cycle).
  log.Clear();
  const std::size_t retrievals = server_->CountCommands("RETR");
  config_.callbacks().nothingToAbsorbResult = 0;
  EXPECT_FALSE(Cycle());
  config_.callbacks().nothingToAbsorbResult = 1;
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_EQ(server_->CountCommands("RETR"), retrievals + 2);
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 2);
  std::string record;
  ASSERT_TRUE(config_.GetString("InstalledFiles", &record));
  EXPECT_EQ(record, "");
  EXPECT_TRUE(log.entries().empty()) << log.Dump();

  // One changed file is fetched, and with it a backup copy altered since its download.
  WriteFile(config_.backupDir() + "/a.dat", "alpha, altered in the backup directory");
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo, second edition"}, {"rules.cfg", "rules"}});
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Updated("2 files: a.dat, b.dat")))) << log.Dump();
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("b.dat"), "bravo, second edition");

  // The engine has not absorbed it (its pending file is there): prompted again, nothing fetched.
  WriteFile(config_.definitionsDir() + "/pending.flag", "engine busy");
  log.Clear();
  ASSERT_TRUE(Cycle()) << log.Dump();
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0], kPending)) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[1], kAbsorb)) << log.Dump();
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 3);

  // A new set while the last one is still pending starts afresh: the engine's signal goes at
  // once, and stays withdrawn when a download fails. The set then comes whole.
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo, second edition"}, {"rules.cfg", "rules two"}});
  WriteFile(served_ + "/updates/rules.cfg", "forged");
  log.Clear();
  EXPECT_FALSE(Cycle());
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/trigger.crc"));
  WriteFile(served_ + "/updates/rules.cfg", "rules two");
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(kPending))) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Updated("3 files: a.dat, b.dat, rules.cfg")))) << log.Dump();
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/pending.flag"));
  EXPECT_EQ(IllegalUpdatesDetected(), 0u);
}

TEST_F(EndToEndTest, FailuresLeaveTheInstalledSetAndTamperingIsDetected) {
  config_.SetDword("UpdateInterval", 600);
  Publish({{"a.dat", "alpha"}, {"b.dat", "bravo"}});
  ASSERT_TRUE(Cycle());
  const std::string oldTrigger = ReadFile(config_.backupDir() + "/trigger.crc");
  // The new trigger file announces an a.dat whose CRC the server's a.dat does not have.
  WriteFile(served_ + "/updates/a.dat", "alpha two");
  WriteFile(served_ + "/updates/b.dat", "bravo two");
  WriteFile(served_ + "/updates/trigger.crc",
            ChecksumLine("a.dat", "not what is served") + ChecksumLine("b.dat", "bravo two"));
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"updates/a.dat\"\" file", "23"}))))
      << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Updated("1 files: b.dat")))) << log.Dump();  // the loop goes on
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 1);  // the engine is not told
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("b.dat"), "bravo");
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), oldTrigger);
  EXPECT_EQ(Installed("trigger.crc"), oldTrigger);

  // A refused updates-available hook fails a cycle after its set is installed: the check that
  // follows takes those files for the cycle's own work, not for tampering. The next cycle finds
  // nothing new and takes what is installed as its reference.
  Publish({{"a.dat", "alpha three"}, {"b.dat", "bravo three"}});
  config_.callbacks().updatesAvailableResult = 0;
  EXPECT_FALSE(Cycle());
  config_.callbacks().updatesAvailableResult = 1;
  EXPECT_EQ(Installed("b.dat"), "bravo three");
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
  EXPECT_TRUE(Cycle());

  // With the server gone every cycle fails and the installed files are checked against the
  // reference the first check took: a new or a missing file does not count, nor does an altered
  // one while the check is switched off.
  server_.reset();
  EXPECT_FALSE(Cycle());
  WriteFile(config_.definitionsDir() + "/new.dat", "a new file does not count");
  RemoveAll(config_.definitionsDir() + "/a.dat");
  EXPECT_FALSE(Cycle());
  WriteFile(config_.definitionsDir() + "/b.dat", "tampered");
  config_.SetDword("IntegrityCheck", 0);
  EXPECT_FALSE(Cycle());
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
  std::uint32_t next = 0;
  ASSERT_TRUE(config_.GetDword("NextUpdateTime", &next));
  EXPECT_NE(next, 0u);  // still scheduled: backing off

  config_.SetDword("IntegrityCheck", 1);
  log.Clear();
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

TEST_F(EndToEndTest, HostCallbacksAndLocalDirectoriesDecideWhetherTheCycleRuns) {
  Publish({{"a.dat", "alpha"}});
  LogCapture log;
  config_.callbacks().prepareResult = 0;  // the host's veto
  EXPECT_FALSE(Cycle());
  EXPECT_EQ(server_->CountCommands("USER"), 0u);
  EXPECT_TRUE(log.entries().empty()) << log.Dump();
  config_.callbacks().prepareResult = 1;

  // Directories that cannot be had: each word set (the worker stopped), the entry, the title and
  // the start of the detail (the backup directory's detail is the system's error code).
  const std::string root = config_.root(), none = "Could not establish a working configuration.";
  WriteFile(dir_ / "file", "a file where a directory should be");
  WriteFile(root + "/blocked", "a file in the way");
  for (const auto& [word, value, title, detail] :
       std::vector<std::tuple<const char * UpdateConfig::*, std::string, std::string, std::string>>{
           {&UpdateConfig::rootDirectory, "",
            "Failed to obtain a name for the  updates root "
            "directory.",
            none},
           {&UpdateConfig::rootDirectory, dir_ / "file/root",
            dir_ / "file/root root directory not found.", none},
           {&UpdateConfig::definitionsDirectory, "blocked/definitions",
            "Update the 1 definition files",
            "Failed to find the CSS directory \"\"" + root + "/blocked/definitions\"\"."},
           {&UpdateConfig::backupDirectory, "blocked/backup",
            "Creating the backup directory \"\"" + root +
                "/blocked/backup\"\" for the  definitions.  Please create this directory manually.",
            "3"}}) {
    Stop();
    config_.SetText(&UpdateConfig::rootDirectory, root.c_str());
    config_.SetText(&UpdateConfig::definitionsDirectory, "definitions");
    config_.SetText(word, value.c_str());
    log.Clear();
    EXPECT_FALSE(Cycle());
    EXPECT_TRUE(log.Contains(Is(Error(3001, {title, detail})))) << log.Dump();
  }

  // The hook's result is ANDed bitwise into the cycle's: 2 is not success.
  Stop();
  config_.SetText(&UpdateConfig::backupDirectory, nullptr);  // "backup" when not named
  config_.callbacks().updatesAvailableResult = 2;
  EXPECT_FALSE(Cycle());
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 1);

  // The preparation hook may point the cycle at another server, one of the other transport
  // too: the transport is chosen once the hook has run, and the hook runs once a cycle.
  Stop();
  config_.callbacks().updatesAvailableResult = 1;
  ScriptedHttpServer web;
  web.ServeBody("/updates/trigger.crc", ChecksumLine("a.dat", "alpha over http"));
  web.ServeBody("/updates/a.dat", "alpha over http");
  static std::string redirect;
  static std::atomic<int> hookCalls{0};
  redirect = web.url();
  config_->prepare = [](UpdateConfig* block) -> std::uint32_t {
    ++hookCalls;
    block->serverName = redirect.c_str();
    return 1;
  };
  const std::size_t logins = server_->CountCommands("USER");
  EXPECT_TRUE(Cycle()) << log.Dump();
  EXPECT_EQ(Installed("a.dat"), "alpha over http");
  EXPECT_EQ(server_->CountCommands("USER"), logins);
  EXPECT_EQ(hookCalls.load(), 1);
}

// A trigger file that is no checksum list fails the cycle and installs nothing (names that would
// escape the directories: the program's Security scenarios). The summary of a set of many names
// is cut at 5000 characters.
TEST_F(EndToEndTest, HostileTriggerFilesFailTheCycleAndManyNamesAreSummedUpShort) {
  WriteFile(served_ + "/updates/trigger.crc", "0 a.dat\r\n");
  LogCapture log;
  EXPECT_FALSE(Cycle());
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"trigger.crc\"\" file", "13"}))))
      << log.Dump();
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 1);

  std::vector<std::pair<std::string, std::string>> files;
  std::string joined;
  for (int i = 10; i < 40; ++i) {
    files.emplace_back("f" + std::to_string(i) + std::string(200, 'x') + ".dat", "x");
    joined += (i == 10 ? "" : ", ") + files.back().first;
  }
  Publish(files);
  ASSERT_TRUE(Cycle()) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Updated("30 files: " + joined.substr(0, 5000))))) << log.Dump();
}

}  // namespace
