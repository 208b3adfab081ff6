// The manifest command a publisher signs: byte for byte what sha256sum prints for the same files,
// and refusals of what a definitions set cannot hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "program/updater_process.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(UpdaterManifest, PrintsWhatSha256sumPrintsAndRefusesWhatASetCannotHold) {
  TempDir dir;
  // Byte order is not a dictionary's ("B" before "a"); an empty file has a digest too; a blank
  // in the directory's path is no blank in a name.
  for (const char* name : {"b.cfg", "B.dat", "a.dat", "empty.dat", "trigger.crc"}) {
    WriteFile(dir / "a set/" + name,
              name == std::string("empty.dat") ? "" : std::string(70000, *name));
  }
  WriteFile(dir / "a set/sub/ignored.dat", "subdirectories are not listed");
  testing_support::ChildProcess::Run(
      {"/bin/sh", "-c", "cd \"$0\" && exec sha256sum B.dat a.dat b.cfg empty.dat trigger.crc",
       dir / "a set"},
      dir / "sha256sum.out");
  const program_test::Result result = RunUpdater({"manifest", dir / "a set"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, testing_support::ReadFile(dir / "sha256sum.out"));

  WriteFile(dir / "other/a.dat", "another alpha");
  WriteFile(dir / "spaced/two words.dat", "x");
  WriteFile(dir / "slashed/back\\slash.dat", "x");
  for (const auto& [operands, message] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"manifest", dir / "a set", dir / "other/a.dat"}, "another file of the same name"},
           {{"manifest", dir / "spaced"}, "the name holds whitespace or a backslash"},
           {{"manifest", dir / "slashed"}, "the name holds whitespace or a backslash"},
           {{"checksum", dir / "a set"}, "empty.dat: its CRC-32 is 0"},
           {{"manifest", dir / "missing"}, "missing: No such file or directory"}}) {
    const program_test::Result refused = RunUpdater(operands);
    EXPECT_EQ(refused.status, 2) << message;
    EXPECT_THAT(refused.err, testing::HasSubstr(message));
    EXPECT_EQ(refused.out, "") << message;
  }
}

}  // namespace
