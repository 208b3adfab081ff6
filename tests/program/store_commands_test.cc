// get, set, update-now and status against the property store, as an administrator uses them
// beside a service.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "integrity/trigger_file_data.h"
#include "program/updater_process.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing::HasSubstr;
using testing_support::TempDir;
using testing_support::WriteFile;

class UpdaterStore : public testing::Test {
 protected:
  UpdaterStore() {
    WriteFile(config_,
              "[store]\npath = \"store.db\"\n"
              "[[processor]]\nname = \"Antivirus\"\ndisplay_name = \"Virus Scanner\"\n"
              "server = \"updates.example\"\nroot_dir = \"av\"\ntrigger_file = \"av.crc\"\n"
              "extensions = \"sig\"\n"
              "update_now_property = \"Now\"\nlast_update_property = \"Last\"\n"
              "min_interval = 300\nmax_interval = 7200\n");
  }

  program_test::Result Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin() + 1, {"-c", config_});
    return RunUpdater(arguments);
  }
  std::string Get(const std::string& section, const std::string& name) {
    const auto result = Run({"get", section, name});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }
  void Set(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "set");
    const auto result = Run(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
  }

  TempDir dir_;
  const std::string config_ = dir_ / "updater.toml";
};

TEST_F(UpdaterStore, SetAndGetNumbersAndTexts) {
  Set({"Antivirus", "UpdateInterval", "600"});
  EXPECT_EQ(Get("antivirus", "updateinterval"), "600\n");  // names compare without case
  Set({"Other", "Mask", "0xFFFFFFFF"});
  EXPECT_EQ(Get("Other", "Mask"), "4294967295\n");
  Set({"Antivirus", "UpdateServer", "ftp://mirror.example:2121", "--text"});
  EXPECT_EQ(Get("Antivirus", "UpdateServer"), "ftp://mirror.example:2121\n");
  Set({"Antivirus", "Long", std::string(5000, 'x'), "--text"});
  EXPECT_EQ(Get("Antivirus", "Long"), std::string(5000, 'x') + "\n");

  const auto absent = Run({"get", "Antivirus", "NoSuchProperty"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_THAT(absent.err, HasSubstr("no property \"NoSuchProperty\" in section \"Antivirus\""));
  for (const char* bad : {"4294967296", "-1", "12abc", "0x", ""}) {
    const auto refused = Run({"set", "Antivirus", "UpdateInterval", "--", bad});
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_THAT(refused.err, HasSubstr("is not an unsigned 32-bit number"));
  }
  EXPECT_EQ(Get("Antivirus", "UpdateInterval"), "600\n");
}

TEST_F(UpdaterStore, UpdateNowWritesTheConfiguredProperty) {
  const auto result = Run({"update-now", "ANTIVIRUS"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Get("Antivirus", "Now"), "1\n");
  const auto unknown = Run({"update-now", "Nobody"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("no processor named \"Nobody\""));
}

TEST_F(UpdaterStore, StatusReadsTheWorkersProperties) {
  CTriggerFileData installed;
  installed.SetAt("a.dat", 0x11);
  installed.SetAt("b.dat", 0x22);
  installed.SetAt("c.dat", 0x33);
  Set({"Antivirus", "InstalledFiles", installed.Encode(), "--text"});
  Set({"Antivirus", "Last", "1700000000"});
  Set({"Antivirus", "NextUpdateTime", "1700003600"});
  Set({"Antivirus", "Now", "1"});
  Set({"Antivirus", "UpdateInterval", "60"});  // below min_interval: runs at 300
  Set({"Antivirus", "InvalidDefinitionFiles", "1"});

  auto status = Run({"status"});
  ASSERT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(status.out,
            "Antivirus\n"
            "  display name:              Virus Scanner\n"
            "  update interval:           300 s\n"
            "  last successful update:    2023-11-14T22:13:20Z\n"
            "  next update:               2023-11-14T23:13:20Z\n"
            "  update now pending:        yes\n"
            "  installed files recorded:  3\n"
            "  invalid definition files:  detected\n");

  Set({"Antivirus", "UpdateInterval", "0"});
  Set({"Antivirus", "InstalledFiles", "not an encoded list", "--text"});
  status = Run({"status"});
  EXPECT_THAT(status.out, HasSubstr("update interval:           off"));
  EXPECT_THAT(status.out, HasSubstr("installed files recorded:  0"));
}

}  // namespace
