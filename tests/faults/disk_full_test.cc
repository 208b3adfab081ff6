// A full disk under the backup directory during a download: a failed cycle with a clear log
// entry, the installed set and its reference left as they were, and the next cycle after the
// space is freed succeeds by itself. The disk is a small tmpfs the test mounts; a filler file on
// it takes the space. A write of the engine's trigger file that fails last of all, after the set
// is in place, must not pass for an installation either.
#include <unistd.h>

#include <string>

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

// The engine's trigger file cannot be written (a directory stands at its name, as good as a full
// disk and needing no root): the cycle fails with the path and the code, the engine is not
// signalled, and the reference is left as it was, so that the next cycle installs and signals the
// set once the way is free instead of finding it up to date.
TEST(DiskFull, AFailedWriteOfTheEnginesTriggerFileFailsTheCycleAndTheNextOneSignals) {
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}};
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", "bravo, second"}};
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  harness.Publish(kNew);
  ::unlink((harness.Definitions() + "/trigger.crc").c_str());
  testing_support::MakeDirectories(harness.Definitions() + "/trigger.crc");

  Result result = harness.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_EQ(Occurrences(harness.Log(), "Failed to write to file \"\"" + harness.Definitions() +
                                           "/trigger.crc\"\" | 5"),
            1u)
      << harness.Log();
  EXPECT_EQ(ReadFile(harness.Backup() + "/trigger.crc"), TriggerFor(kOld));

  testing_support::RemoveAll(harness.Definitions() + "/trigger.crc");
  result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 2 files\n");
  EXPECT_TRUE(harness.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
