// The configuration file: every refusal names the file and the line, exits with status 2 and
// starts nothing; a minimal file gets working defaults.
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing::HasSubstr;
using testing_support::FileExists;
using testing_support::TempDir;
using testing_support::WriteFile;

// Line 1 to 10 of every case; a case's own lines follow from line 11.
const char* const kHeader =
    "# test configuration\n"               // 1
    "[store]\n"                            // 2
    "path = \"state/store.db\"\n"          // 3
    "\n"                                   // 4
    "[[processor]]\n"                      // 5
    "name = \"MailFilter0\"\n"             // 6
    "server = \"ftp://127.0.0.1:2121\"\n"  // 7
    "root_dir = \"filter\"\n"              // 8
    "trigger_file = \"trigger.crc\"\n"     // 9
    "extensions = \"dat,cfg\"\n";          // 10

struct BadCase {
  const char* tail;  // lines from 11 on
  int line;          // 0: the message names no line
  const char* message;
};

const BadCase kBadCases[] = {
    {"retires = 3\n", 11, "unknown key \"retires\" in [[processor]]"},
    {"[extra]\nx = 1\n", 11, "unknown table [extra]"},
    {"[log]\nformat = \"xml\"\n", 12, "log.format must be \"text\" or \"json\", not \"xml\""},
    {"[network]\nproxy = \"x\"\n", 12, "unknown key \"proxy\" in [network]"},
    {"retries = \"3\"\n", 11, "processor.retries must be an integer, not a string"},
    {"passive = 1\n", 11, "processor.passive must be true or false, not an integer"},
    {"wait_step_ms = 500\n", 11,
     "processor.wait_step_ms must be between 1000 and 3600000, not 500"},
    {"retries = -1\n", 11, "processor.retries must be between 0 and 100, not -1"},
    {"error_event_id = 4294967296\n", 11, "must be between 0 and 4294967295"},
    {"default_interval = 0\n", 11, "processor.default_interval must be between 1 and"},
    {"min_interval = 600\n\nmax_interval = 60\n", 13,
     "processor.min_interval (600) must not exceed processor.max_interval (60)"},
    {"retry_interval = 7200\n", 11,
     "processor.retry_interval (7200) must not exceed processor.max_retry_interval (3600)"},
    {"server_property = \"\"\n", 11, "processor.server_property must not be empty"},
    {"pending_file = \"../pending\"\n", 11, "processor.pending_file must be a plain file name"},
    {"backup_dir = \"../elsewhere\"\n", 11, "must name a directory below root_dir"},
    {"default_server = \"gopher://host\"\n", 11, "\"gopher://host\" is not a host name"},
    {"remote_dir = \"up\\u0000dates\"\n", 11, "must not contain a NUL character"},
    {"\n[[processor]]\nname = \"Antivirus\"\nserver = \"h\"\nroot_dir = \"av\"\n", 12,
     "[[processor]] is missing the required key \"trigger_file\""},
    {"\n[[processor]]\nname = \"mailfilter0\"\nserver = \"h\"\nroot_dir = \"r\"\n"
     "trigger_file = \"t\"\nextensions = \"dat\"\n",
     12, "processor \"mailfilter0\" cannot run beside processor \"MailFilter0\" (line 5)"},
    {"name = \n", 11, "invalid TOML"},
};

TEST(UpdaterConfiguration, RefusesABadFileWithItsLineBeforeStartingAnything) {
  for (const BadCase& c : kBadCases) {
    TempDir dir;
    const std::string file = dir / "updater.toml";
    WriteFile(file, std::string(kHeader) + c.tail);
    for (const char* command : {"once", "status"}) {
      const auto result = RunUpdater({command, "-c", file});
      EXPECT_EQ(result.status, 2) << c.message << "\n" << result.err;
      const std::string where = file + (c.line > 0 ? ":" + std::to_string(c.line) : "") + ": ";
      EXPECT_THAT(result.err, HasSubstr(where)) << c.message;
      EXPECT_THAT(result.err, HasSubstr(c.message));
      EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(FileExists(dir / "state/store.db")) << c.message << ": the store was opened";
    EXPECT_FALSE(FileExists(dir / "filter")) << c.message << ": a root directory was made";
  }
}

TEST(UpdaterConfiguration, RefusesMissingPartsAndReportsEveryProblem) {
  TempDir dir;
  const std::string file = dir / "updater.toml";
  WriteFile(file, "[[processor]]\nname = \"A\"\nretries = true\nbogus = 1\n");
  const auto result = RunUpdater({"status", "-c", file});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, HasSubstr(file + ": missing the [store] table"));
  EXPECT_THAT(result.err,
              HasSubstr(file + ":1: [[processor]] is missing the required key \"server\""));
  EXPECT_THAT(result.err, HasSubstr(file + ":3: processor.retries must be an integer"));
  EXPECT_THAT(result.err, HasSubstr(file + ":4: unknown key \"bogus\""));

  const auto missing = RunUpdater({"status", "-c", dir / "absent.toml"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.err, HasSubstr("absent.toml: cannot read the configuration file"));
}

// Relative paths are taken from the configuration file's directory, whatever the working
// directory, and a minimal processor gets a schedule that works.
TEST(UpdaterConfiguration, MinimalFileGetsDefaultsAndPathsBesideIt) {
  TempDir dir;
  const std::string file = dir / "conf/updater.toml";
  WriteFile(file, kHeader);
  const auto result = RunUpdater({"status", "-c", file});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(FileExists(dir / "conf/state/store.db"));
  EXPECT_EQ(result.out,
            "MailFilter0\n"
            "  display name:              MailFilter0\n"
            "  update interval:           3600 s\n"
            "  last successful update:    never\n"
            "  next update:               not scheduled\n"
            "  update now pending:        no\n"
            "  installed files recorded:  0\n"
            "  invalid definition files:  none detected\n");
}

// The shipped example stays a valid configuration.
TEST(UpdaterConfiguration, ExampleFileLoads) {
  TempDir dir;
  std::string text =
      testing_support::ReadFile(FR_SOURCE_DIR "/packaging/repository-updater.example.toml");
  ASSERT_FALSE(text.empty());
  for (std::size_t at; (at = text.find("/var/lib/repository-updater")) != std::string::npos;) {
    text.replace(at, std::strlen("/var/lib/repository-updater"), dir.path());
  }
  WriteFile(dir / "updater.toml", text);
  const auto result = RunUpdater({"status", "-c", dir / "updater.toml"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("MailFilter0\n  display name:              Mail Filter\n"));
  EXPECT_THAT(result.out, HasSubstr("Antivirus\n  display name:              Virus Scanner\n"));
}

}  // namespace
