// The program's command line and the checksum command, which need no configuration.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "integrity/crc32.h"
#include "integrity/trigger_file_data.h"
#include "program/updater_process.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing::HasSubstr;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(UpdaterCommandLine, HelpAndVersionGoToStdoutWithStatusZero) {
  const auto help = RunUpdater({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"run", "once", "status", "update-now", "get", "set", "checksum"}) {
    EXPECT_THAT(help.out, HasSubstr(std::string("  ") + command + " ")) << command;
    const auto own = RunUpdater({command, "--help"});
    EXPECT_EQ(own.status, 0) << command;
    EXPECT_THAT(own.out, HasSubstr(std::string("Usage: repository-updater ") + command));
  }
  const auto version = RunUpdater({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "repository-updater 1.0.0\n");
}

TEST(UpdaterCommandLine, UsageErrorsExitWithStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"once", "-c", "x.toml", "--text"}, "unknown option '--text' for once"},
      {{"run"}, "run needs the configuration file: -c FILE"},
      {{"status", "-c"}, "option '-c' needs a value"},
      {{"get", "-c", "x.toml", "OnlySection"}, "usage: repository-updater get"},
      {{"once", "-c", "x.toml", "--timeout", "soon"}, "--timeout needs a number of seconds"},
      {{"checksum"}, "usage: repository-updater checksum PATH..."},
  };
  for (const Case& c : cases) {
    const auto result = RunUpdater(c.arguments);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_EQ(result.out, "");
  }
}

// The list must read back through the library's own parser, byte-wise sorted, CR LF ended.
TEST(UpdaterChecksum, ListsFilesAndDirectoriesInTheTriggerFileFormat) {
  TempDir dir;
  WriteFile(dir / "set/b.dat", "bravo");
  WriteFile(dir / "set/B.cfg", "upper case sorts first");
  WriteFile(dir / "set/\xe9t\xe9.dat", "a byte above 0x7f sorts last");
  WriteFile(dir / "set/nested/ignored.dat", "subdirectories are not listed");
  WriteFile(dir / "single/a.dat", "123456789");

  const auto result = RunUpdater({"checksum", dir / "set", dir / "single/a.dat"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");

  CTriggerFileData parsed;
  ASSERT_TRUE(parsed.Parse(result.out.data(), result.out.size())) << result.out;
  EXPECT_EQ(parsed.GetCount(), 4u);
  DWORD crc = 0;
  ASSERT_TRUE(parsed.Lookup("a.dat", crc));
  EXPECT_EQ(crc, 0xCBF43926u);  // the CRC-32 check value of "123456789"
  ASSERT_TRUE(parsed.Lookup("b.dat", crc));
  EXPECT_EQ(crc, GetFileCrc((dir / "set/b.dat").c_str()));

  const std::string expected = parsed.Format();  // std::map order: byte-wise
  EXPECT_EQ(result.out, expected);
  EXPECT_LT(result.out.find(" B.cfg\r\n"), result.out.find(" a.dat\r\n"));
  EXPECT_LT(result.out.find(" b.dat\r\n"), result.out.find(" \xe9t\xe9.dat\r\n"));
  EXPECT_EQ(result.out.find("ignored"), std::string::npos);
}

TEST(UpdaterChecksum, RefusesWhatAChecksumListCannotCarry) {
  TempDir dir;
  WriteFile(dir / "ok.dat", "fine");
  WriteFile(dir / "empty.dat", "");
  WriteFile(dir / "two words.dat", "x");
  WriteFile(dir / "tab\tname.dat", "x");
  WriteFile(dir / "one/same.dat", "first");
  WriteFile(dir / "two/same.dat", "second");

  struct Case {
    std::vector<std::string> paths;
    const char* message;
  };
  const Case cases[] = {
      {{dir / "ok.dat", dir / "empty.dat"}, "its CRC-32 is 0"},
      {{dir / "two words.dat"}, "the name holds whitespace"},
      {{dir / "tab\tname.dat"}, "the name holds whitespace"},
      {{dir / "one", dir / "two"}, "another file of the same name is listed"},
      {{dir / "missing.dat"}, "No such file or directory"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"checksum"};
    arguments.insert(arguments.end(), c.paths.begin(), c.paths.end());
    const auto result = RunUpdater(arguments);
    EXPECT_EQ(result.status, 2) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_EQ(result.out, "") << "nothing is listed when a file is refused";
  }
}

}  // namespace
