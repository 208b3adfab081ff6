// The update cycle's branches: preparation, the failure table, the callbacks and the AND of their
// results, and what a successful cycle records.
#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/fresh_store.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

class UpdateCycleTest : public ::testing::Test {
 protected:
  UpdateCycleTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {}

  BOOL RunCycle() {
    run_ = std::make_unique<LocalTransport>(slot_.get(), server_);
    return run_->RunUpdateCycle();
  }
  void Publish(const std::string& a, const std::string& b) {
    WriteFile(server_ + "/a.dat", a);
    WriteFile(server_ + "/b.dat", b);
    WriteFile(server_ + "/trigger.crc", ChecksumLine("a.dat", a) + ChecksumLine("b.dat", b));
  }
  std::string Display() const { return "AntiVirus Display"; }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string server_ = dir_ / "server";
  TestConfig config_;
  TestSlot slot_;
  std::unique_ptr<LocalTransport> run_;
};

TEST_F(UpdateCycleTest, FirstUpdateInstallsSignalsAndRecordsInThisOrder) {
  Publish("alpha", "bravo");
  LogCapture log;
  EXPECT_TRUE(RunCycle());
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/a.dat"), "alpha");
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/b.dat"), "bravo");
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/trigger.crc"),
            ReadFile(server_ + "/trigger.crc"));
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), ReadFile(server_ + "/trigger.crc"));
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_TRUE(
      Matches(log.entries()[0], Operation(3002, {"Updating the " + Display() + " definition files",
                                                 "Updated 2 files: a.dat, b.dat"})));
  EXPECT_TRUE(Matches(log.entries()[1],
                      Operation(3002, {"UpdatesAvailable()", "Attempting to absorb updates."})));
  EXPECT_EQ(log.entries()[1].first, "AntiVirus-operation");
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 1);
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 0);
  EXPECT_EQ(run_->disconnects, 1);
  std::uint32_t time = 0;
  EXPECT_TRUE(config_.GetDword("LastUpdateTime", &time));
  EXPECT_EQ(slot_->m_installedFiles.GetCount(), 2u);
  std::string stored;
  ASSERT_TRUE(config_.GetString("InstalledFiles", &stored));
  CTriggerFileData decoded;
  decoded.Decode(stored.c_str());
  EXPECT_TRUE(decoded.IsEqual(slot_->m_installedFiles));
}

TEST_F(UpdateCycleTest, NothingNewCallsTheNothingToAbsorbHookAndStoresAnEmptyRecord) {
  Publish("alpha", "bravo");
  ASSERT_TRUE(RunCycle());
  LogCapture log;
  config_.SetDword("LastUpdateTime", 0);
  EXPECT_TRUE(RunCycle());
  EXPECT_TRUE(run_->fetched.empty());
  EXPECT_TRUE(log.entries().empty()) << log.Dump();
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 1);
  std::uint32_t time = 0;
  ASSERT_TRUE(config_.GetDword("LastUpdateTime", &time));
  EXPECT_NE(time, 0u);
  EXPECT_TRUE(slot_->m_installedFiles.IsEmpty());
}

TEST_F(UpdateCycleTest, OneChangedFileIsFetchedAlone) {
  Publish("alpha", "bravo");
  ASSERT_TRUE(RunCycle());
  Publish("alpha", "bravo two");
  LogCapture log;
  EXPECT_TRUE(RunCycle());
  EXPECT_EQ(run_->fetched, (std::vector<std::string>{"b.dat"}));
  EXPECT_TRUE(log.Contains(Is(Operation(
      3002, {"Updating the " + Display() + " definition files", "Updated 1 files: b.dat"}))));
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/b.dat"), "bravo two");
}

TEST_F(UpdateCycleTest, FailedDownloadInstallsNothingAndKeepsTheOldReference) {
  Publish("alpha", "bravo");
  ASSERT_TRUE(RunCycle());
  const std::string oldTrigger = ReadFile(config_.backupDir() + "/trigger.crc");
  Publish("alpha two", "bravo two");
  run_ = std::make_unique<LocalTransport>(slot_.get(), server_);
  run_->failing.insert("b.dat");
  EXPECT_FALSE(run_->RunUpdateCycle());
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/a.dat"), "alpha");  // untouched
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/b.dat"), "bravo");
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), oldTrigger);
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 1);  // called for a failed cycle too
  EXPECT_EQ(run_->disconnects, 1);

  // The next cycle fetches both again: the reference still describes the installed set.
  EXPECT_TRUE(RunCycle());
  EXPECT_EQ(run_->fetched, (std::vector<std::string>{"a.dat", "b.dat"}));
}

TEST_F(UpdateCycleTest, PendingUpdatePromptsTheEngineAgainWithoutDownloading) {
  Publish("alpha", "bravo");
  ASSERT_TRUE(RunCycle());
  WriteFile(config_.definitionsDir() + "/pending.flag", "");
  LogCapture log;
  EXPECT_TRUE(RunCycle());
  EXPECT_TRUE(run_->fetched.empty());
  ASSERT_EQ(log.entries().size(), 2u) << log.Dump();
  EXPECT_EQ(log.entries()[0].event, 3001u);
  EXPECT_TRUE(Matches(log.entries()[1],
                      Operation(3002, {"UpdatesAvailable()", "Attempting to absorb updates."})));
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), 2);
}

TEST_F(UpdateCycleTest, CallbackResultsAreAndedBitwise) {
  Publish("alpha", "bravo");
  config_.callbacks().updatesAvailableResult = 2;  // non-zero, yet 1 & 2 is 0
  EXPECT_FALSE(RunCycle());
  std::uint32_t time = 0;
  EXPECT_FALSE(config_.GetDword("LastUpdateTime", &time));
  EXPECT_TRUE(slot_->m_installedFiles.IsEmpty());

  // Without an updates-available hook the result stands as the cycle made it.
  config_->updatesAvailable = nullptr;
  WriteFile(server_ + "/c.dat", "c");
  WriteFile(server_ + "/trigger.crc",
            ReadFile(server_ + "/trigger.crc") + ChecksumLine("c.dat", "c"));
  EXPECT_TRUE(RunCycle());
}

TEST_F(UpdateCycleTest, PreparationHookAndRootDirectoryDecideWhetherTheCycleRuns) {
  Publish("alpha", "bravo");
  config_.callbacks().prepareResult = 0;
  LogCapture log;
  EXPECT_FALSE(RunCycle());
  EXPECT_EQ(run_->connects, 0);
  EXPECT_TRUE(log.entries().empty());

  config_.callbacks().prepareResult = 1;
  config_.SetText(&UpdateConfig::rootDirectory, "");
  EXPECT_FALSE(RunCycle());
  EXPECT_TRUE(
      log.Contains(Is(Error(3001, {"Failed to obtain a name for the  updates root directory.",
                                   "Could not establish a working configuration."}))))
      << log.Dump();

  WriteFile(dir_ / "file", "a file where the root should be");
  config_.SetText(&UpdateConfig::rootDirectory, (dir_ / "file/root").c_str());
  EXPECT_FALSE(RunCycle());
  EXPECT_TRUE(log.Contains(Is(Error(3001, {dir_ / "file/root root directory not found.",
                                           "Could not establish a working configuration."}))))
      << log.Dump();
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 0);
}

TEST_F(UpdateCycleTest, MissingLocalDirectoriesThatCannotBeMadeEndTheCycleAtOnce) {
  Publish("alpha", "bravo");
  WriteFile(server_ + "/c.dat", "c");
  WriteFile(server_ + "/trigger.crc",
            ReadFile(server_ + "/trigger.crc") + ChecksumLine("c.dat", "c"));
  config_.SetText(&UpdateConfig::definitionsDirectory, "blocked/definitions");
  WriteFile(config_.root() + "/blocked", "a file in the way");
  LogCapture log;
  EXPECT_FALSE(RunCycle());
  EXPECT_TRUE(log.Contains(Is(Error(
      3001, {"Update the 3 definition files", "Failed to find the CSS directory \"\"" +
                                                  config_.root() + "/blocked/definitions\"\"."}))))
      << log.Dump();
  EXPECT_EQ(run_->disconnects, 0);
  EXPECT_EQ(config_.callbacks().nothingToAbsorbCalls.load(), 0);

  config_.SetText(&UpdateConfig::definitionsDirectory, "definitions");
  config_.SetText(&UpdateConfig::backupDirectory, "blocked/backup");
  log.Clear();
  EXPECT_FALSE(RunCycle());
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(
      log.entries().back().texts[0],
      "Creating the backup directory \"\"" + config_.root() +
          "/blocked/backup\"\" for the  definitions.  Please create this directory manually.");
  EXPECT_NE(log.entries().back().texts[1], "0");
  EXPECT_TRUE(run_->fetched.empty());
}

TEST_F(UpdateCycleTest, ServerNameComesFromTheBlockThePropertyOrTheDefault) {
  const UpdateConfig& config = *config_.get();
  EXPECT_EQ(ResolveServerName(config, slot_->m_hMailServer), "127.0.0.1");
  config_.SetText(&UpdateConfig::serverName, nullptr);
  config_.SetText(&UpdateConfig::defaultServerName, "fallback.example");
  EXPECT_EQ(ResolveServerName(config, slot_->m_hMailServer), "fallback.example");
  config_.SetString("UpdateServer", "from-property.example");
  EXPECT_EQ(ResolveServerName(config, slot_->m_hMailServer), "from-property.example");
}

}  // namespace
