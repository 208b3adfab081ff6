// The choice of files: the worked example, the trigger file's own name, the pending file that
// restarts the local state, and a trigger file that does not parse.
#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/fresh_store.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

class SelectionTest : public ::testing::Test {
 protected:
  SelectionTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {
    MakeDirectories(config_.backupDir());
    MakeDirectories(config_.definitionsDir());
  }

  // A run prepared as the cycle prepares it, connected to `server`.
  LocalTransport& Connected() {
    run_ = std::make_unique<LocalTransport>(slot_.get(), server_);
    EXPECT_TRUE(run_->PrepareDirectories());
    EXPECT_TRUE(run_->Connect());
    return *run_;
  }

  CStringList Choose() {
    LocalTransport& run = Connected();
    CStringList list;
    EXPECT_TRUE(run.CheckForUpdates());
    EXPECT_TRUE(run.GetFilesToUpdate(list));
    return list;
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string server_ = dir_ / "server";
  TestConfig config_;
  TestSlot slot_;
  std::unique_ptr<LocalTransport> run_;
};

TEST_F(SelectionTest, WorkedExampleFetchesOnlyChangedMissingOrAlteredFiles) {
  const std::string a = "alpha", b = "bravo", c = "charlie";
  WriteFile(server_ + "/trigger.crc", ChecksumLine("a.dat", a) + ChecksumLine("c.dat", c) +
                                          ChecksumLine("b.dat", b) + "1 TRIGGER.CRC\r\n");
  // The last installed set: a.dat as now, b.dat with another value; a.dat intact in the backup.
  WriteFile(config_.backupDir() + "/trigger.crc", ChecksumLine("a.dat", a) + "77 b.dat\r\n");
  WriteFile(config_.backupDir() + "/a.dat", a);
  EXPECT_EQ(Choose(), (CStringList{"b.dat", "c.dat"}));

  // Without its backup copy, or with an altered one, a.dat is fetched again.
  WriteFile(config_.backupDir() + "/a.dat", "tampered");
  EXPECT_EQ(Choose(), (CStringList{"a.dat", "b.dat", "c.dat"}));
  RemoveAll(config_.backupDir() + "/a.dat");
  EXPECT_EQ(Choose(), (CStringList{"a.dat", "b.dat", "c.dat"}));
}

TEST_F(SelectionTest, SameLinesInAnotherOrderReportAnUpdateButFetchNothing) {
  const std::string a = "alpha", b = "bravo";
  WriteFile(server_ + "/trigger.crc", ChecksumLine("b.dat", b) + ChecksumLine("a.dat", a));
  WriteFile(config_.backupDir() + "/trigger.crc",
            ChecksumLine("a.dat", a) + ChecksumLine("b.dat", b));
  WriteFile(config_.backupDir() + "/a.dat", a);
  WriteFile(config_.backupDir() + "/b.dat", b);
  EXPECT_TRUE(Choose().empty());

  // Identical trigger files: nothing to do at all.
  WriteFile(config_.backupDir() + "/trigger.crc",
            ChecksumLine("b.dat", b) + ChecksumLine("a.dat", a));
  EXPECT_FALSE(Connected().CheckForUpdates());
}

TEST_F(SelectionTest, NamesDifferingOnlyInCaseAreDifferentFiles) {
  const std::string a = "alpha";
  WriteFile(server_ + "/trigger.crc", ChecksumLine("A.DAT", a));
  WriteFile(config_.backupDir() + "/trigger.crc", ChecksumLine("a.dat", a));
  WriteFile(config_.backupDir() + "/a.dat", a);
  EXPECT_EQ(Choose(), (CStringList{"A.DAT"}));
}

TEST_F(SelectionTest, PendingFileRestartsTheLocalStateAndListsEverything) {
  const std::string a = "alpha", b = "bravo";
  WriteFile(server_ + "/trigger.crc", ChecksumLine("a.dat", a) + ChecksumLine("b.dat", "new"));
  WriteFile(config_.backupDir() + "/trigger.crc",
            ChecksumLine("a.dat", a) + ChecksumLine("b.dat", b));
  WriteFile(config_.backupDir() + "/a.dat", a);
  WriteFile(config_.definitionsDir() + "/pending.flag", "");
  WriteFile(config_.definitionsDir() + "/trigger.crc", "old signal");

  LogCapture log;
  EXPECT_EQ(Choose(), (CStringList{"a.dat", "b.dat"}));
  EXPECT_FALSE(FileExists(config_.backupDir() + "/trigger.crc"));
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/pending.flag"));
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/trigger.crc"));
  const std::string display = "AntiVirus Display";
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(
      log.entries()[0],
      Error(3001, {"Confirm that the updates have been absorbed by the " + display + " processor.",
                   "The file already exists locally and has not been consumed by the  " + display +
                       " engine.  This means that the " + display +
                       " engine is either not running, or running using out of date "
                       "definitions."})))
      << log.Dump();
}

TEST_F(SelectionTest, TriggerFileThatDoesNotParseFailsWithInvalidData) {
  WriteFile(server_ + "/trigger.crc", "12g4 a.dat\r\n");
  LogCapture log;
  LocalTransport& run = Connected();
  CStringList list;
  EXPECT_TRUE(run.CheckForUpdates());
  EXPECT_FALSE(run.GetFilesToUpdate(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"trigger.crc\"\" file", "13"}))))
      << log.Dump();
}

TEST_F(SelectionTest, LocalCopyThatDoesNotParseStillServesItsFirstEntries) {
  const std::string a = "alpha", b = "bravo";
  WriteFile(server_ + "/trigger.crc", ChecksumLine("a.dat", a) + ChecksumLine("b.dat", b));
  WriteFile(config_.backupDir() + "/trigger.crc", ChecksumLine("a.dat", a) + "zz b.dat\r\n");
  WriteFile(config_.backupDir() + "/a.dat", a);
  WriteFile(config_.backupDir() + "/b.dat", b);
  EXPECT_EQ(Choose(), (CStringList{"b.dat"}));
}

}  // namespace
