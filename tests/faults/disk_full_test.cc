// A full disk under the backup directory during a download and under the definitions directory
// during the installation: a clear log entry, a failed cycle, no signal to the engine, and the
// next cycle after the space is freed succeeds by itself.
//
// The disks are small tmpfs mounts made by the test; a filler file on them takes the space.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/small_filesystem.h"

namespace faults {
namespace {

using testing_support::SmallFilesystem;

constexpr std::uint64_t kDiskBytes = 256 * 1024;
constexpr std::uint64_t kLeftFree = 16 * 1024;

const FileSet kOld = {{"a.dat", "alpha, first edition"},
                      {"b.dat", "bravo, first edition"},
                      {"c.cfg", "charlie, first edition"}};
// b.dat outgrows what the full disk has left; a.dat and c.cfg still fit.
const FileSet kNew = {{"a.dat", "alpha, second edition"},
                      {"b.dat", std::string(64 * 1024, 'b')},
                      {"c.cfg", "charlie, second edition"}};

class DiskFull : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UpdaterBuilt()) << "build the repository-updater target first";
    if (const std::string why = SmallFilesystem::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  }

  // Installs the old set on the configured layout with a small disk mounted at `mount` (below
  // the root), and publishes the new one.
  std::unique_ptr<SmallFilesystem> Prepare(HarnessOptions options, const std::string& mount) {
    harness_.Configure(std::move(options));
    auto disk = std::make_unique<SmallFilesystem>(harness_.Root() + "/" + mount, kDiskBytes);
    harness_.Publish(kOld);
    const Result first = harness_.Once();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(harness_.HoldsSet(kOld));
    harness_.Publish(kNew);
    return disk;
  }

  UpdaterHarness harness_;
};

TEST_F(DiskFull, DuringADownloadTheCycleFailsAndTheNextOneAfterFreeingSucceeds) {
  HarnessOptions options;
  options.backupDir = "spool/backup";
  std::unique_ptr<SmallFilesystem> spool = Prepare(options, "spool");
  ASSERT_FALSE(HasFailure());
  spool->Fill(kLeftFree);

  Result result = harness_.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_EQ(Occurrences(harness_.Log(),
                        "Failed to write to file \"\"" + harness_.Backup() + "/b.dat\"\" | 112"),
            1u)
      << harness_.Log();
  EXPECT_TRUE(harness_.HoldsSet(kOld)) << "nothing installed, the reference kept";

  spool->Free();
  result = harness_.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

// The service runs on its own schedule: it fails while the disk is full and, once space is
// freed, its next retry installs the set. The copies that did fit are files of the verified new
// set and must not be taken for tampered ones.
TEST_F(DiskFull, DuringTheInstallationNothingIsSignalledAndTheServiceRecoversByItself) {
  HarnessOptions options;
  options.definitionsDir = "live/definitions";
  options.processorKeys = "retry_interval = 1\nmax_retry_interval = 2\n";
  std::unique_ptr<SmallFilesystem> live = Prepare(options, "live");
  ASSERT_FALSE(HasFailure());
  live->Fill(kLeftFree);

  std::unique_ptr<Updater> service = harness_.Start();
  const std::string copyFailed = "Copy the \"" + harness_.Backup() + "/b.dat\" file to the \"" +
                                 harness_.Definitions() + "\" directory | 112";
  // The second failure shows that the first pass, its integrity check included, is over.
  ASSERT_TRUE(Eventually([&] { return Occurrences(harness_.Log(), copyFailed) >= 2; }))
      << harness_.Log() << service->Err();
  live->Free();
  EXPECT_TRUE(harness_.ConvergeAndStop(*service, kNew));
  EXPECT_EQ(Occurrences(harness_.Log(), "Invalid Mail Filterdefinition files"), 0u)
      << harness_.Log();
}

// The same fault under `once`, where the state between the failure and the recovery can be
// looked at: a withdrawn signal over a mixture of old and new files.
TEST_F(DiskFull, DuringTheInstallationOnceReportsAFailureNotTampering) {
  HarnessOptions options;
  options.definitionsDir = "live/definitions";
  std::unique_ptr<SmallFilesystem> live = Prepare(options, "live");
  ASSERT_FALSE(HasFailure());
  live->Fill(kLeftFree);

  Result result = harness_.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_FALSE(FileExists(harness_.Definitions() + "/" + harness_.Trigger()));
  EXPECT_EQ(harness_.Installed("a.dat"), kNew.at("a.dat"));
  EXPECT_EQ(harness_.Installed("b.dat"), kOld.at("b.dat"));
  EXPECT_TRUE(harness_.SetIsWhole());

  live->Free();
  result = harness_.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
