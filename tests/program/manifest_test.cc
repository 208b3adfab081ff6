// The manifest command a publisher signs: byte for byte what sha256sum prints for the same files,
// and refusals of what a definitions set cannot hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "program/updater_process.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing::HasSubstr;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(UpdaterManifest, PrintsWhatSha256sumPrintsAndRefusesWhatASetCannotHold) {
  TempDir dir;
  // Names in byte order differ from a dictionary's; an empty file has a digest too.
  for (const auto& [name, content] :
       std::vector<std::pair<std::string, std::string>>{{"b.cfg", "bravo"},
                                                        {"B.dat", std::string(300000, 'x')},
                                                        {"a.dat", "alpha"},
                                                        {"empty.dat", ""},
                                                        {"trigger.crc", "1 a.dat\r\n"}}) {
    WriteFile(dir / "set/" + name, content);
  }
  WriteFile(dir / "set/sub/ignored.dat", "subdirectories are not listed");
  testing_support::ChildProcess::Run(
      {"/bin/sh", "-c", "cd \"$0\" && LC_ALL=C exec sha256sum $(LC_ALL=C ls -p | grep -v /)",
       dir / "set"},
      dir / "sha256sum.out");
  const std::string expected = testing_support::ReadFile(dir / "sha256sum.out");
  ASSERT_THAT(expected, HasSubstr("  trigger.crc\n"));
  for (const std::vector<std::string>& operands :
       {std::vector<std::string>{dir / "set"},
        {dir / "set/trigger.crc", dir / "set/a.dat", dir / "set/B.dat", dir / "set/b.cfg",
         dir / "set/empty.dat"}}) {
    std::vector<std::string> arguments = {"manifest"};
    arguments.insert(arguments.end(), operands.begin(), operands.end());
    const program_test::Result result = RunUpdater(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, expected);
  }

  WriteFile(dir / "other/a.dat", "another alpha");
  WriteFile(dir / "spaced/two words.dat", "x");
  WriteFile(dir / "slashed/back\\slash.dat", "x");
  for (const auto& [operands, message] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{dir / "set", dir / "other/a.dat"}, "another file of the same name is listed"},
           {{dir / "spaced"}, "the name holds whitespace or a backslash"},
           {{dir / "slashed"}, "the name holds whitespace or a backslash"},
           {{dir / "missing"}, "No such file or directory"},
           {{}, "usage: repository-updater manifest PATH..."}}) {
    std::vector<std::string> arguments = {"manifest"};
    arguments.insert(arguments.end(), operands.begin(), operands.end());
    const program_test::Result result = RunUpdater(arguments);
    EXPECT_EQ(result.status, 2) << message;
    EXPECT_THAT(result.err, HasSubstr(message));
    EXPECT_EQ(result.out, "") << message;
  }
}

}  // namespace
