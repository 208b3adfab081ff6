// A full disk under the backup directory during a download: a failed cycle with a clear log
// entry, the installed set and its reference left as they were, and the next cycle after the
// space is freed succeeds by itself. The disk is a small tmpfs the test mounts (root only); a
// filler file on it takes the space. Without root, a directory in the way fails the writes.
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/small_filesystem.h"

namespace faults {
namespace {

TEST(DiskFull, DuringADownloadNothingIsInstalledAndTheNextCycleAfterFreeingSucceeds) {
  using testing_support::SmallFilesystem;
  if (const std::string why = SmallFilesystem::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}};
  // b.dat outgrows what the full disk has left; a.dat still fits.
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", std::string(64 * 1024, 'b')}};
  UpdaterHarness harness;
  harness.Configure("spool/backup");
  SmallFilesystem spool(harness.Root() + "/spool", 256 * 1024);
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  harness.Publish(kNew);
  spool.Fill(16 * 1024);

  Result result = harness.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_EQ(Occurrences(harness.Log(),
                        "Failed to write to file \"\"" + harness.Backup() + "/b.dat\"\" | 112"),
            1u)
      << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kOld));

  spool.Free();
  result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness.HoldsSet(kNew));
}

// A directory standing where the updater must write, the way to fail a write without root: at a
// download in the backup directory, at a copy in the definitions directory, at the engine's
// trigger file. Each fails the cycle with the path and the code; the engine is left signalling
// the old set whole or nothing, and the reference stays as it was, so that the next cycle, once
// the way is free, installs and signals the set instead of finding it up to date.
TEST(DiskFull, ADirectoryInTheWayFailsTheCycleAndTheNextOneInstalls) {
  // notes.txt is installed but not measured: a directory in its place fails the copy without
  // counting as an altered definition file (one at a.dat would).
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}, {"notes.txt", "1"}};
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", "bravo, second"}, {"notes.txt", "2"}};
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  harness.Publish(kNew);
  const std::string backup = harness.Backup(), definitions = harness.Definitions();
  for (const auto& [path, entry] : std::vector<std::pair<std::string, std::string>>{
           {backup + "/b.dat", "Failed to write to file \"\"" + backup + "/b.dat\"\" | 5"},
           {definitions + "/notes.txt", "Copy the \"" + backup + "/notes.txt\" file to the \"" +
                                            definitions + "\" directory | 5"},
           {definitions + "/trigger.crc",
            "Failed to write to file \"\"" + definitions + "/trigger.crc\"\" | 5"}}) {
    SCOPED_TRACE(path);
    testing_support::RemoveAll(path);
    testing_support::MakeDirectories(path);
    const Result result = harness.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out, "MailFilter0: failed\n");
    EXPECT_EQ(Occurrences(harness.Log(), entry), 1u) << harness.Log();
    EXPECT_EQ(ReadFile(backup + "/trigger.crc"), TriggerFor(kOld));
    testing_support::RemoveAll(path);
    EXPECT_TRUE(SignalledSetIsWhole(definitions));
  }
  const Result result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 3 files\n");
  EXPECT_TRUE(harness.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
