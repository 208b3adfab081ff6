// The download loop with its stop test and its summary entry, the installation from the backup
// directory, the trigger files, and listing by extensions.
#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/fresh_store.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

class FetchInstallTest : public ::testing::Test {
 protected:
  FetchInstallTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {
    run_ = std::make_unique<LocalTransport>(slot_.get(), server_);
    EXPECT_TRUE(run_->PrepareDirectories());
    MakeDirectories(config_.backupDir());
    MakeDirectories(config_.definitionsDir());
    run_->SetRemoteDir("updates");
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  std::string server_ = dir_ / "server";
  TestConfig config_;
  TestSlot slot_;
  std::unique_ptr<LocalTransport> run_;
};

TEST_F(FetchInstallTest, StopBeforeTheFirstDownloadFetchesNothing) {
  SetEvent(run_->stopEvent());
  LogCapture log;
  CStringList list{"a.dat", "b.dat", "c.dat"};
  EXPECT_FALSE(run_->FetchFiles(list));
  EXPECT_TRUE(run_->fetched.empty());
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0],
                      Error(3001, {"Updating the \"\"\"\" file",
                                   "Service shutting down.  Update process suspended with 3 files "
                                   "still to update."})))
      << log.Dump();
}

TEST_F(FetchInstallTest, FailedDownloadDoesNotStopTheLoopAndTheSummaryNamesTheFetched) {
  WriteFile(server_ + "/a.dat", "a");
  WriteFile(server_ + "/c.dat", "c");
  LogCapture log;
  CStringList list{"a.dat", "b.dat", "c.dat"};
  EXPECT_FALSE(run_->FetchFiles(list));  // b.dat is missing on the server
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(run_->fetched, (std::vector<std::string>{"a.dat", "b.dat", "c.dat"}));
  EXPECT_TRUE(log.Contains(Is(Operation(
      3002, {"Updating the AntiVirus Display definition files", "Updated 2 files: a.dat, c.dat"}))))
      << log.Dump();
}

TEST_F(FetchInstallTest, StopBetweenDownloadsNamesTheLastRemotePath) {
  WriteFile(server_ + "/a.dat", "a");
  WriteFile(server_ + "/b.dat", "b");
  // The stop arrives while a.dat downloads: the loop sees it before b.dat.
  run_->failing.clear();
  struct StopAfterFirst : LocalTransport {
    using LocalTransport::LocalTransport;
    BOOL FetchFile(const std::string& name) override {
      SetEvent(stopEvent());
      return LocalTransport::FetchFile(name);
    }
  };
  StopAfterFirst run(slot_.get(), server_);
  ASSERT_TRUE(run.PrepareDirectories());
  run.SetRemoteDir("updates");
  LogCapture log;
  CStringList list{"a.dat", "b.dat"};
  EXPECT_FALSE(run.FetchFiles(list));
  EXPECT_EQ(run.fetched, (std::vector<std::string>{"a.dat"}));
  EXPECT_TRUE(log.Contains(Is(Error(3001, {"Updating the \"\"updates\\a.dat\"\" file",
                                           "Service shutting down.  Update process suspended "
                                           "with 1 files still to update."}))))
      << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Operation(
      3002, {"Updating the AntiVirus Display definition files", "Updated 1 files: a.dat"}))));
}

TEST_F(FetchInstallTest, SummaryOfManyNamesIsCutAtFiveThousandCharacters) {
  CStringList list;
  std::string joined;
  for (int i = 0; i < 400; ++i) {
    const std::string name = "definition-file-" + std::to_string(i) + ".dat";
    WriteFile(server_ + "/" + name, name);
    list.push_back(name);
    joined += (i == 0 ? "" : ", ") + name;
  }
  LogCapture log;
  EXPECT_TRUE(run_->FetchFiles(list));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].texts[1], "Updated 400 files: " + joined.substr(0, 5000));
}

TEST_F(FetchInstallTest, InstallCopiesEverythingButReportsASubdirectoryEveryTime) {
  WriteFile(config_.backupDir() + "/a.dat", "new a");
  WriteFile(config_.backupDir() + "/gone.dat", "no longer listed, still copied");
  WriteFile(config_.backupDir() + "/trigger.crc", "old trigger copy");
  WriteFile(config_.definitionsDir() + "/a.dat", "old a");
  WriteFile(config_.definitionsDir() + "/local.cfg", "left alone");
  WriteFile(config_.definitionsDir() + "/trigger.crc", "old signal");
  MakeDirectories(config_.backupDir() + "/sub");

  LogCapture log;
  EXPECT_FALSE(run_->InstallFiles());
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/a.dat"), "new a");
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/gone.dat"), "no longer listed, still copied");
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/local.cfg"), "left alone");
  // The engine's signal is withdrawn while the set changes and never copied from the backup.
  EXPECT_FALSE(FileExists(config_.definitionsDir() + "/trigger.crc"));
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(log.entries()[0],
                      Error(3001, {"Copy the \"" + config_.backupDir() + "/sub\" file to the \"" +
                                       config_.definitionsDir() + "\" directory",
                                   "5"})))
      << log.Dump();

  RemoveAll(config_.backupDir() + "/sub");
  EXPECT_TRUE(run_->InstallFiles());
}

TEST_F(FetchInstallTest, TriggerFilesSignalTheEngineAndRecordTheirTime) {
  WriteFile(server_ + "/trigger.crc", "1 a.dat\r\n");
  ASSERT_TRUE(run_->Connect());
  EXPECT_TRUE(run_->WriteTriggerFiles());
  EXPECT_EQ(ReadFile(config_.definitionsDir() + "/trigger.crc"), "1 a.dat\r\n");
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), "1 a.dat\r\n");
  FileStatus status;
  ASSERT_TRUE(GetFileStatus((config_.definitionsDir() + "/trigger.crc").c_str(), &status));
  std::uint32_t recorded = 0;
  ASSERT_TRUE(config_.GetDword("TriggerFileTime", &recorded));
  EXPECT_EQ(recorded, static_cast<std::uint32_t>(status.modifiedTime));

  // The engine side cannot be written (a directory in the way): no time, backup still written.
  config_.SetDword("TriggerFileTime", 7);
  RemoveAll(config_.definitionsDir() + "/trigger.crc");
  MakeDirectories(config_.definitionsDir() + "/trigger.crc");
  RemoveAll(config_.backupDir() + "/trigger.crc");
  EXPECT_TRUE(run_->WriteTriggerFiles());
  ASSERT_TRUE(config_.GetDword("TriggerFileTime", &recorded));
  EXPECT_EQ(recorded, 7u);
  EXPECT_EQ(ReadFile(config_.backupDir() + "/trigger.crc"), "1 a.dat\r\n");
}

TEST_F(FetchInstallTest, ListFilesTakesExtensionsInOrderWithoutRegardToCase) {
  const std::string d = dir_ / "list";
  for (const char* name : {"b.DAT", "a.dat", "c.cfg", "d.txt", "e.dat.bak"})
    WriteFile(d + "/" + name, "x");
  CStringList list;
  EXPECT_EQ(CRepositoryUpdates::ListFiles(d, "dat,,cfg", list), 3u);
  EXPECT_EQ(list, (CStringList{"a.dat", "b.DAT", "c.cfg"}));
  list.clear();
  EXPECT_EQ(CRepositoryUpdates::ListFiles(d, "*", list), 7u);  // ".", ".." and the five files
  EXPECT_EQ(list.front(), ".");
  list.clear();
  EXPECT_EQ(CRepositoryUpdates::ListFiles(dir_ / "missing", "dat", list), 0u);
}

}  // namespace
