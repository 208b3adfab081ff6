// Faults of the machine under the updater: the service killed with SIGKILL while it copies a new
// set into the definitions directory, and started again (an open gate, fanotify, holds it inside
// the open() of the second copy, so the kill lands at that exact step and the test knows what had
// been done); a full disk under the backup directory during a download; a directory standing
// where the updater must write. Each leaves nothing mixed signalled and the installed set and its
// reference as they were, and the next cycle recovers by itself. The kill and the full disk need
// root (fanotify, a tmpfs mounted for the test); the directory in the way fails writes without it.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/open_gate.h"
#include "support/small_filesystem.h"

namespace faults {
namespace {

using testing::HasSubstr;
using testing_support::OpenGate;

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

  EXPECT_EQ(harness.Once().status, 1) << harness.Log();
  EXPECT_EQ(Occurrences(harness.Log(),
                        "Failed to write to file \"\"" + harness.Backup() + "/b.dat\"\" | 112"),
            1u)
      << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kOld));

  spool.Free();
  spool.ReadOnly(true);  // refused as access is: 5
  EXPECT_EQ(harness.Once().status, 1);
  EXPECT_THAT(harness.Log(),
              HasSubstr("Failed to write to file \"\"" + harness.Backup() + "/b.dat\"\" | 5 ["));
  spool.ReadOnly(false);
  EXPECT_EQ(harness.Once().status, 0) << harness.Log();
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
    EXPECT_EQ(harness.Once().status, 1) << harness.Log();
    EXPECT_EQ(Occurrences(harness.Log(), entry), 1u) << harness.Log();
    EXPECT_EQ(ReadFile(backup + "/trigger.crc"), TriggerFor(kOld));
    EXPECT_FALSE(FileExists(definitions + "/.trigger.crc.partial")) << "removed at once";
    testing_support::RemoveAll(path);
    EXPECT_TRUE(SignalledSetIsWhole(definitions));
  }
  EXPECT_EQ(harness.Once().out, "MailFilter0: updated 3 files\n") << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kNew));
}

// The old signal was withdrawn before the first copy, so the mixture of old and new files the
// kill leaves is never signalled; the updater started again reaches the new set by itself and takes
// none of the files it copied before for tampered ones.
TEST(CrashRecovery, KilledMidCopyNothingMixedIsSignalledAndTheRestartRecovers) {
  if (const std::string why = OpenGate::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}, {"c.cfg", "c, 1"}};
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", "bravo, second"}, {"c.cfg", "c, 2"}};
  UpdaterHarness harness;
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  {
    harness.Publish(kNew);
    OpenGate gate({harness.Definitions(), harness.Backup()});
    Updater service({"run", "-c", harness.config()});
    int copies = 0;
    const auto secondCopy = [&](const OpenGate::Open& open) {
      return open.path.starts_with(harness.Definitions() + "/.copy-") && ++copies == 2;
    };
    ASSERT_TRUE(gate.HoldFirst(secondCopy, std::chrono::minutes(2))) << service.Err();
    service.Signal(SIGKILL);
    ASSERT_EQ(service.Wait(), -1) << "the service ended before it was killed:\n" << service.Err();
  }
  EXPECT_FALSE(FileExists(harness.Definitions() + "/trigger.crc"));
  EXPECT_EQ(harness.Installed("a.dat"), kNew.at("a.dat"));
  EXPECT_EQ(harness.Installed("b.dat"), kOld.at("b.dat"));
  auto leftovers = [&] {
    return std::ranges::count_if(std::filesystem::directory_iterator(harness.Definitions()),
                                 [](const auto& e) { return e.path().extension() == ".partial"; });
  };
  EXPECT_EQ(leftovers(), 1) << "the held copy's temporary file";

  EXPECT_EQ(harness.Once().status, 0) << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_EQ(Occurrences(harness.Log(), "Invalid Mail Filterdefinition files"), 0u) << harness.Log();
  // One that a kill between the trigger file's write and its rename leaves goes at the next
  // cycle, though that one finds nothing new.
  testing_support::WriteFile(harness.Definitions() + "/.trigger.crc.partial", "killed");
  EXPECT_EQ(harness.Once().out, "MailFilter0: up to date\n");
  EXPECT_EQ(leftovers(), 0);
}

}  // namespace
}  // namespace faults
