// The integrity check of installed files against the slot's record.
#include <gtest/gtest.h>

#include <string>

#include "host/utility.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/fresh_store.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

class IntegrityCheckTest : public ::testing::Test {
 protected:
  IntegrityCheckTest() : config_("AntiVirus", dir_ / "root"), slot_(config_) {
    WriteFile(config_.masterDir() + "/a.dat", "alpha");
    WriteFile(config_.masterDir() + "/b.cfg", "bravo");
    WriteFile(config_.masterDir() + "/notes.txt", "not a definition file");
  }
  DWORD Check() {
    LocalTransport run(slot_.get(), dir_ / "server");
    return run.CheckInstalledFiles();
  }
  static DWORD Crc(const std::string& text) {
    return CalculateBufferCrc32(text.data(), static_cast<DWORD>(text.size()));
  }

  TempDir dir_;
  FreshPropertyStore store_{dir_.path()};
  TestConfig config_;
  TestSlot slot_;
};

TEST_F(IntegrityCheckTest, FirstCheckTakesTheFilesPresentAsTheRecord) {
  LogCapture log;
  EXPECT_EQ(Check(), 0u);
  DWORD crc = 0;
  ASSERT_TRUE(slot_->m_installedFiles.Lookup("a.dat", crc));
  EXPECT_EQ(crc, Crc("alpha"));
  EXPECT_EQ(slot_->m_installedFiles.GetCount(), 2u);  // notes.txt is not a listed extension
  std::string stored;
  EXPECT_TRUE(config_.GetString("InstalledFiles", &stored));
  EXPECT_EQ(Check(), 0u);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(IntegrityCheckTest, AlteredFilesAreReportedOnceAndNewOrMissingFilesDoNotCount) {
  ASSERT_EQ(Check(), 0u);
  WriteFile(config_.masterDir() + "/new.dat", "appeared later");
  RemoveAll(config_.masterDir() + "/b.cfg");
  EXPECT_EQ(Check(), 0u);

  WriteFile(config_.masterDir() + "/a.dat", "tampered");
  WriteFile(config_.masterDir() + "/b.cfg", "tampered too");
  LogCapture log;
  EXPECT_EQ(Check(), 1u);
  ASSERT_EQ(log.entries().size(), 1u) << log.Dump();
  EXPECT_TRUE(Matches(
      log.entries()[0],
      Error(3001,
            {"Checking the integrity of the AntiVirus Display definition files",
             "Invalid AntiVirus Displaydefinition files detected.  Disabling AntiVirus "
             "Display processing for this mail server.  Please contact technical support."})));
}

TEST_F(IntegrityCheckTest, RecordSurvivesARestartThroughItsProperty) {
  ASSERT_EQ(Check(), 0u);
  slot_->m_installedFiles.RemoveAll();  // a new process starts with an empty record
  WriteFile(config_.masterDir() + "/a.dat", "tampered");
  EXPECT_EQ(Check(), 1u);
}

TEST_F(IntegrityCheckTest, StoredRecordThatDoesNotDecodeIsTreatedAsAbsent) {
  config_.SetString("InstalledFiles", "not hexadecimal at all");
  WriteFile(config_.masterDir() + "/a.dat", "whatever is there now");
  EXPECT_EQ(Check(), 0u);
  DWORD crc = 0;
  ASSERT_TRUE(slot_->m_installedFiles.Lookup("a.dat", crc));
  EXPECT_EQ(crc, Crc("whatever is there now"));
}

TEST_F(IntegrityCheckTest, SwitchPropertyTurnsTheCheckOff) {
  ASSERT_EQ(Check(), 0u);
  WriteFile(config_.masterDir() + "/a.dat", "tampered");
  config_.SetDword("IntegrityCheck", 0);  // equals word 20
  LogCapture log;
  EXPECT_EQ(Check(), 0u);
  EXPECT_TRUE(log.entries().empty());
  config_.SetDword("IntegrityCheck", 1);
  EXPECT_EQ(Check(), 1u);
}

TEST_F(IntegrityCheckTest, MasterDirectoryDefaultsToRootMaster) {
  config_.SetText(&UpdateConfig::masterDirectory, nullptr);
  WriteFile(config_.root() + "/master/m.dat", "in master");
  ASSERT_EQ(Check(), 0u);
  DWORD crc = 0;
  EXPECT_TRUE(slot_->m_installedFiles.Lookup("m.dat", crc));
  EXPECT_FALSE(slot_->m_installedFiles.Lookup("a.dat", crc));
}

TEST_F(IntegrityCheckTest, FailedStoreOfTheRecordIsLoggedAndTheRecordKeptInMemory) {
  TestSlot detached(config_);
  _tMailServer* server = detached->m_hMailServer;
  detached->m_hMailServer = nullptr;  // every store through this run fails
  LogCapture log;
  {
    LocalTransport run(detached.get(), dir_ / "server");
    CTriggerFileData list;
    list.SetAt("x.dat", 0x42);
    EXPECT_FALSE(run.SaveInstalledFiles(list));
  }
  detached->m_hMailServer = server;
  EXPECT_EQ(detached->m_installedFiles.GetCount(), 1u);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].texts[0],
            "Failed to update the configuration information for the AntiVirus Display processor.");
  EXPECT_EQ(log.entries()[0].texts[1], "87");
}

}  // namespace
