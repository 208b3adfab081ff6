// The service killed with SIGKILL while it copies a new set into the definitions directory, and
// started again. An open gate (fanotify) holds it inside the open() of the second copy, so the
// kill lands at that exact step and the test knows what had been done.
#include <signal.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/open_gate.h"

namespace faults {
namespace {

using testing_support::OpenGate;

// The old signal was withdrawn before the first copy, so the mixture of old and new files the
// kill leaves is never signalled; the restarted service reaches the new set by itself and takes
// none of the files it copied before for tampered ones.
TEST(CrashRecovery, KilledMidCopyNothingMixedIsSignalledAndTheRestartRecovers) {
  if (const std::string why = OpenGate::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}, {"c.cfg", "c, 1"}};
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", "bravo, second"}, {"c.cfg", "c, 2"}};
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  ASSERT_TRUE(harness.HoldsSet(kOld));
  {
    OpenGate gate({harness.Definitions(), harness.Backup()});
    int copies = 0;
    gate.HoldFirst([&](const OpenGate::Open& open) {
      return open.path.starts_with(harness.Definitions() + "/.copy-") && ++copies == 2;
    });
    harness.Publish(kNew);
    Updater service({"run", "-c", harness.config()});
    ASSERT_TRUE(gate.WaitHeld(std::chrono::minutes(2)).has_value()) << service.Err();
    service.Signal(SIGKILL);
    ASSERT_EQ(service.Wait(), -1) << "the service ended before it was killed:\n" << service.Err();
  }
  EXPECT_FALSE(FileExists(harness.Definitions() + "/trigger.crc"));
  EXPECT_EQ(harness.Installed("a.dat"), kNew.at("a.dat"));
  EXPECT_EQ(harness.Installed("b.dat"), kOld.at("b.dat"));
  EXPECT_TRUE(SignalledSetIsWhole(harness.Definitions()));
  auto leftovers = [&] {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(harness.Definitions())) {
      count += entry.path().filename().string().ends_with(".partial") ? 1 : 0;
    }
    return count;
  };
  EXPECT_EQ(leftovers(), 1u) << "the held copy's temporary file";

  Updater restarted({"run", "-c", harness.config()});
  EXPECT_TRUE(harness.ConvergeAndStop(restarted, kNew));
  EXPECT_EQ(Occurrences(harness.Log(), "Invalid Mail Filterdefinition files"), 0u) << harness.Log();
  EXPECT_EQ(leftovers(), 0u);
}

}  // namespace
}  // namespace faults
