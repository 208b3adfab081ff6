// The service killed with SIGKILL at each stage of a cycle, and started again: whatever the stage,
// the engine was never signalled with a mixture, and the restarted service reaches the announced
// set by itself.
//
// Each kill lands at an exact step: a stalled download holds the service during the download, and
// an open gate (fanotify) holds it inside the open() of a chosen file of the installation. The
// process dies while it waits there, so the test knows exactly what it had done.
#include <signal.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/open_gate.h"

namespace faults {
namespace {

using testing_support::OpenGate;
using testing_support::ScriptedFile;

const FileSet kOld = {{"a.dat", "alpha, first edition"},
                      {"b.dat", "bravo, first edition"},
                      {"c.cfg", "charlie, first edition"}};
const FileSet kNew = {{"a.dat", "alpha, second edition"},
                      {"b.dat", "bravo, second edition"},
                      {"c.cfg", "charlie, second edition"}};

std::string Basename(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}
std::string Dirname(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

class CrashRecovery : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UpdaterBuilt()) << "build the repository-updater target first";
    HarnessOptions options;
    // The stalled download must still be hanging when the kill comes, however busy the machine.
    options.network = "connect_timeout_ms = 5000\nstall_timeout_ms = 60000\n";
    harness_.Configure(options);
    harness_.Publish(kOld);
    const Result first = harness_.Once();
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_TRUE(harness_.HoldsSet(kOld));
  }

  void Kill(Updater& service) {
    service.Signal(SIGKILL);
    ASSERT_EQ(service.Wait(), -1) << "the service ended before it was killed:\n" << service.Err();
  }

  // Starts the service on the new set, holds it at the first open `matcher` picks and kills it
  // there.
  void KillAtOpen(OpenGate::Matcher matcher) {
    if (const std::string why = OpenGate::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    OpenGate gate({harness_.Definitions(), harness_.Backup()});
    gate.HoldFirst(std::move(matcher));
    harness_.Publish(kNew);
    std::unique_ptr<Updater> service = harness_.Start();
    const auto held = gate.WaitHeld(std::chrono::minutes(2));
    ASSERT_TRUE(held.has_value()) << "the service never reached the step\n" << service->Err();
    Kill(*service);
    gate.Release();
  }

  // The restarted service converges without any request, and no stage of the crash made the
  // integrity check cry wolf.
  void RestartConverges() {
    std::unique_ptr<Updater> service = harness_.Start();
    EXPECT_TRUE(harness_.ConvergeAndStop(*service, kNew));
    EXPECT_EQ(Occurrences(harness_.Log(), "Invalid Mail Filterdefinition files"), 0u)
        << harness_.Log();
  }

  UpdaterHarness harness_;
};

// A download stalls, the service is killed: nothing of the new set reached the engine or the
// reference; the file downloaded before the stall waits in the backup directory.
TEST_F(CrashRecovery, KilledDuringADownloadByRunOrOnce) {
  for (const char* command : {"run", "once"}) {
    SCOPED_TRACE(command);
    ScriptedFile stalled;
    stalled.fault = ScriptedFile::Fault::kStallAfter;
    stalled.faultOffset = 4;
    stalled.faultTimes = 1;
    harness_.Publish(kOld);
    const Result reset = harness_.Once();
    ASSERT_EQ(reset.status, 0) << reset.err;

    harness_.Publish(kNew, {{"b.dat", stalled}});
    auto fetchesOfB = [&] {
      const auto transcript = harness_.server().Transcript();
      return std::count(transcript.begin(), transcript.end(), "RETR b.dat");
    };
    const auto before = fetchesOfB();
    Updater killed({command, "-c", harness_.config()});
    ASSERT_TRUE(Eventually([&] { return fetchesOfB() > before; })) << killed.Err();
    Kill(killed);
    EXPECT_TRUE(harness_.HoldsSet(kOld));
    EXPECT_EQ(ReadFile(harness_.Backup() + "/a.dat"), kNew.at("a.dat"));
    RestartConverges();
  }
}

// Killed with the first file of the new set copied and the second being copied: the old signal
// was withdrawn before the first copy, so the mixture is not signalled.
TEST_F(CrashRecovery, KilledDuringTheInstallation) {
  int copies = 0;
  const std::string definitions = harness_.Definitions();
  KillAtOpen([&](const OpenGate::Open& open) {
    return Dirname(open.path) == definitions && Basename(open.path).rfind(".copy-", 0) == 0 &&
           ++copies == 2;
  });
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_FALSE(FileExists(definitions + "/" + harness_.Trigger()));
  EXPECT_EQ(harness_.Installed("a.dat"), kNew.at("a.dat"));
  EXPECT_EQ(harness_.Installed("b.dat"), kOld.at("b.dat"));
  EXPECT_TRUE(harness_.SetIsWhole());
  RestartConverges();
}

// Killed with the whole new set copied, as it begins to write the engine's trigger file.
TEST_F(CrashRecovery, KilledBetweenTheInstallationAndTheTriggerFiles) {
  const std::string definitions = harness_.Definitions();
  KillAtOpen([&](const OpenGate::Open& open) {
    return Dirname(open.path) == definitions &&
           Basename(open.path).find(UpdaterHarness::kTrigger) != std::string::npos;
  });
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_FALSE(FileExists(definitions + "/" + harness_.Trigger()));
  for (const auto& [name, content] : kNew) EXPECT_EQ(harness_.Installed(name), content);
  EXPECT_TRUE(harness_.SetIsWhole());
  RestartConverges();
}

// Killed after the engine's trigger file, before the reference copy in the backup directory: the
// engine holds the whole new set, and the restart installs it once more without harm.
TEST_F(CrashRecovery, KilledBetweenTheTwoTriggerFiles) {
  const std::string engineTrigger = harness_.Definitions() + "/" + harness_.Trigger();
  const std::string reference = harness_.Backup() + "/" + harness_.Trigger();
  bool signalled = false;
  KillAtOpen([&](const OpenGate::Open& open) {
    signalled =
        signalled || (Dirname(open.path) == harness_.Definitions() &&
                      Basename(open.path).find(UpdaterHarness::kTrigger) != std::string::npos);
    return signalled && open.path == reference;
  });
  if (IsSkipped() || HasFatalFailure()) return;
  EXPECT_EQ(ReadFile(engineTrigger), TriggerFor(kNew));
  EXPECT_EQ(ReadFile(reference), TriggerFor(kOld));
  EXPECT_TRUE(harness_.SetIsWhole());
  RestartConverges();
}

}  // namespace
}  // namespace faults
