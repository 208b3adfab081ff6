// The service killed with SIGKILL while it copies a new set into the definitions directory, and
// started again. An open gate (fanotify) holds it inside the open() of the second copy, so the
// kill lands at that exact step and the test knows what had been done. And `once` killed in the
// middle of its cycle, which needs no root: what it leaves must not pass for an outcome.
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

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

// once arms the schedule's properties for its cycle and records the outcome when it is known.
// Killed in the middle (a download stalls), it leaves the last-update time, the next-update time
// and the update-now request as they were; the next once removes the temporary files a killed
// installation leaves (planted here) and installs the set.
TEST(CrashRecovery, KilledOnceLeavesTheScheduleAsItWasAndTheNextOnceCleansUp) {
  const FileSet kOld = {{"a.dat", "alpha, first"}, {"b.dat", "bravo, first"}};
  const FileSet kNew = {{"a.dat", "alpha, second"}, {"b.dat", "bravo, second"}};
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  const std::vector<std::string> schedule = {"LastUpdateTime", "NextUpdateTime", "UpdateNow"};
  auto read = [&] {
    std::string values;
    for (const std::string& name : schedule) {
      values += name + "=" +
                program_test::RunUpdater({"get", "MailFilter0", name}, harness.config()).out;
    }
    return values;
  };
  const std::string before = read();

  harness.Publish(kNew);
  testing_support::ScriptedFile stalled;
  stalled.content = kNew.at("b.dat");
  stalled.fault = testing_support::ScriptedFile::Fault::kStallAfter;
  stalled.faultTimes = 1;
  harness.server().AddFile("/updates/b.dat", stalled);
  {
    const long fetched = program_test::Count(harness.server().Transcript(), "RETR b.dat");
    Updater once({"once", "-c", harness.config()});
    ASSERT_TRUE(Eventually([&] {
      return program_test::Count(harness.server().Transcript(), "RETR b.dat") > fetched;
    })) << once.Err();
    once.Signal(SIGKILL);
    ASSERT_EQ(once.Wait(), -1) << once.Err();
  }
  EXPECT_EQ(read(), before);

  const std::vector<std::string> leftovers = {harness.Definitions() + "/.copy-4242-7.partial",
                                              harness.Definitions() + "/.trigger.crc.partial"};
  for (const std::string& path : leftovers) testing_support::WriteFile(path, "half");
  const Result result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness.HoldsSet(kNew));
  for (const std::string& path : leftovers) EXPECT_FALSE(FileExists(path)) << path;
}

}  // namespace
}  // namespace faults
