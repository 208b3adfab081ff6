// The worker loop's schedule, observed as an administrator sees it: through the next-update-time
// property that the loop publishes after every pass, and the update-now property that cuts a wait
// short. Each pass is driven by the test: it marks the published time with a sentinel, asks for an
// update, and waits until the loop has published again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "service/fake_run_object.h"
#include "service/update_slot.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using testing_support::FakeScript;
using testing_support::FakeTransportScope;
using testing_support::LogCapture;
using testing_support::TempDir;
using testing_support::TestConfig;

constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;
constexpr auto kPassLimit = std::chrono::seconds(60);

class WorkerLoopTest : public ::testing::Test {
 protected:
  WorkerLoopTest() : config_("MailFilter0", dir_.path()) {
    config_->retryInterval = 60;
    config_->maxRetryInterval = 200;
    config_->minUpdateInterval = 30;
    config_->maxUpdateInterval = 7200;
    config_.SetDword("NextUpdateTime", kSentinel);
  }
  void TearDown() override { StopRepositoryUpdateThread(); }

  // Waits for the pass under way to publish its next-update time and returns the gap it
  // published (0 when none is scheduled). Then marks the property for the next pass.
  std::uint32_t AwaitPass() {
    std::uint32_t next = kSentinel;
    EXPECT_TRUE(config_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next, kPassLimit))
        << "no pass within the limit";
    const std::uint32_t now = CurrentTime32();
    config_.SetDword("NextUpdateTime", kSentinel);
    // The loop wrote its time plus the gap a moment before this read.
    return next >= now ? next - now : 0;
  }

  // Asks for the next pass at once.
  void RequestUpdate() { config_.SetDword("UpdateNow", 1); }

  static void ExpectGapNear(std::uint32_t gap, std::uint32_t expected) {
    EXPECT_LE(gap, expected) << "published gap";
    EXPECT_GE(gap + 3, expected) << "published gap";
  }

  TempDir dir_;
  TestConfig config_;
  FakeTransportScope fake_;
};

TEST_F(WorkerLoopTest, FailuresBackOffSixtyHundredTwentyTwoHundredAndSuccessReturnsToBase) {
  config_.SetDword("UpdateInterval", 600);
  for (bool outcome : {false, false, false, true}) FakeScript::Get().Push(outcome);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);

  ExpectGapNear(AwaitPass(), 60);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 120);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 200);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 600);
  EXPECT_EQ(FakeScript::Get().connects(), 4);
  std::uint32_t updateNow = 1;
  EXPECT_TRUE(config_.GetDword("UpdateNow", &updateNow));
  EXPECT_EQ(updateNow, 0u);
}

TEST_F(WorkerLoopTest, RetryIntervalEqualToBaseNeverDoubles) {
  config_.SetDword("UpdateInterval", 60);
  for (int i = 0; i < 3; ++i) FakeScript::Get().Push(false);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  ExpectGapNear(AwaitPass(), 60);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 60);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 60);
}

TEST_F(WorkerLoopTest, IntervalIsClampedAndAnUnreadableOneTakesTheDefault) {
  config_.SetDword("UpdateInterval", 5);  // below the lowest, 30
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  ExpectGapNear(AwaitPass(), 30);

  config_.SetDword("UpdateInterval", 100000);  // above the highest, 7200; read after the cycle
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 7200);

  config_.SetString("UpdateInterval", "not a number");  // unreadable: word 17, 3600
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 3600);
}

TEST_F(WorkerLoopTest, AutomaticUpdatesOffRunOnlyRequestedCycles) {
  config_.SetDword("UpdateInterval", 0);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  EXPECT_EQ(AwaitPass(), 0u);
  EXPECT_EQ(FakeScript::Get().connects(), 0);  // only the integrity check ran
  EXPECT_EQ(FakeScript::Get().runObjects(), 1);

  // Turning the interval on changes nothing until a requested cycle has read it.
  config_.SetDword("UpdateInterval", 600);
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 600);
  EXPECT_EQ(FakeScript::Get().connects(), 1);
}

TEST_F(WorkerLoopTest, FailedRequestedCycleStaysInRequestedOnlyMode) {
  config_.SetDword("UpdateInterval", 0);
  FakeScript::Get().Push(false);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  EXPECT_EQ(AwaitPass(), 0u);
  RequestUpdate();
  EXPECT_EQ(AwaitPass(), 0u);
  EXPECT_EQ(FakeScript::Get().connects(), 1);
}

TEST_F(WorkerLoopTest, StopIsSeenWithinOneWaitStep) {
  config_.SetDword("UpdateInterval", 3600);
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  ExpectGapNear(AwaitPass(), 3600);
  const auto before = std::chrono::steady_clock::now();
  StopRepositoryUpdateThread();
  // Generous bound: one step is a second; a loop that ignored the event would wait an hour.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
  EXPECT_EQ(g_filterSlot.m_hMailServer, nullptr);
}

TEST_F(WorkerLoopTest, AlteredInstalledFilesRaiseTheFlagAndSwitchToRequestedOnly) {
  // The record says a.dat had another CRC than the file now in the master directory.
  testing_support::WriteFile(config_.masterDir() + "/a.dat", "altered content");
  const std::string list = "1234abcd a.dat\r\n";
  std::string encoded(list.size() * 2 + 1, '\0');
  ASSERT_TRUE(EncodePropertyText(list.data(), static_cast<DWORD>(list.size()), encoded.data(),
                                 static_cast<DWORD>(list.size() * 2)));
  config_.SetString("InstalledFiles", encoded.c_str());
  config_.SetDword("UpdateInterval", 600);
  FakeScript::Get().Push(false);

  LogCapture log;
  ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
  EXPECT_EQ(AwaitPass(), 0u);  // requested-only from now on
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
  const std::string display = "MailFilter0 Display";
  EXPECT_TRUE(log.Contains(testing_support::Is(testing_support::Error(
      3001, {"Checking the integrity of the " + display + " definition files",
             "Invalid " + display + "definition files detected.  Disabling " + display +
                 " processing for this mail server.  Please contact technical support."}))))
      << log.Dump();

  // No scheduled cycle runs now; a requested one that succeeds resumes the schedule.
  testing_support::WriteFile(config_.masterDir() + "/a.dat", "altered content");
  RequestUpdate();
  ExpectGapNear(AwaitPass(), 600);
  EXPECT_EQ(FakeScript::Get().connects(), 2);
}

}  // namespace
