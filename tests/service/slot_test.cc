// The exported entry points and the two update slots: who gets which slot, once-only starts,
// races between starts and stops, and what survives a stop.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "filerepository/filerepository.h"
#include "service/fake_run_object.h"
#include "service/update_slot.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using testing_support::FakeScript;
using testing_support::FakeTransportScope;
using testing_support::TempDir;
using testing_support::TestConfig;

// Stops both slots when it goes, before the blocks declared ahead of it: the host keeps a block
// valid until the stop has returned.
struct StopWhenDone {
  ~StopWhenDone() { StopRepositoryUpdateThread(); }
};

class SlotTest : public ::testing::Test {
 protected:
  void TearDown() override { StopRepositoryUpdateThread(); }

  // Requested-only mode: each pass only checks the installed files, then waits an hour.
  static void Idle(TestConfig& config) { config.SetDword("UpdateInterval", 0); }

  FakeTransportScope fake_;
  TempDir dir_;
};

TEST_F(SlotTest, ProcessorNameChoosesTheSlotWithoutRegardToCase) {
  EXPECT_EQ(&SlotForProcessor("MailFilter0"), &g_filterSlot);
  EXPECT_EQ(&SlotForProcessor("mailfilter0"), &g_filterSlot);
  EXPECT_EQ(&SlotForProcessor("MAILFILTER0"), &g_filterSlot);
  EXPECT_EQ(&SlotForProcessor("MailFilter1"), &g_defaultSlot);
  EXPECT_EQ(&SlotForProcessor("MailFilter0 "), &g_defaultSlot);
  EXPECT_EQ(&SlotForProcessor(nullptr), &g_defaultSlot);

  TestConfig upper("MAILFILTER0", dir_.path());
  StopWhenDone stop;
  Idle(upper);
  ASSERT_EQ(StartRepositoryUpdateThread(upper.get()), 1u);
  EXPECT_EQ(g_filterSlot.m_nStarted.load(), 1);
  EXPECT_EQ(g_defaultSlot.m_nStarted.load(), 0);
  EXPECT_EQ(g_filterSlot.m_pConfig, upper.get());
}

TEST_F(SlotTest, SecondStartOfAStartedSlotKeepsTheFirstBlockAndStartsNoThread) {
  TestConfig first("AntiSpam", dir_ / "a");
  TestConfig second("AntiVirus", dir_ / "b");  // also served by the default slot
  StopWhenDone stop;
  Idle(first);
  Idle(second);
  ASSERT_EQ(StartRepositoryUpdateThread(first.get()), 1u);
  HANDLE thread = g_defaultSlot.m_hThread;
  EXPECT_EQ(StartRepositoryUpdateThread(second.get()), 1u);
  EXPECT_EQ(StartRepositoryUpdateThread(first.get()), 1u);
  EXPECT_EQ(g_defaultSlot.m_pConfig, first.get());
  EXPECT_EQ(g_defaultSlot.m_hThread, thread);
  StopRepositoryUpdateThread();
  EXPECT_EQ(FakeScript::Get().workers(), 1);
}

TEST_F(SlotTest, StopWithoutStartAndStopTwiceDoNothing) {
  StopRepositoryUpdateThread();
  TestConfig config("MailFilter0", dir_.path());
  StopWhenDone stop;
  Idle(config);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  StopRepositoryUpdateThread();
  StopRepositoryUpdateThread();
  EXPECT_EQ(g_filterSlot.m_nStarted.load(), 0);
  EXPECT_EQ(g_filterSlot.m_hThread, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_filterSlot.m_hStopEvent, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_filterSlot.m_hMailServer, nullptr);
}

TEST_F(SlotTest, StartStopStartOpensFreshHandlesAndKeepsTheInstalledRecord) {
  TestConfig config("MailFilter0", dir_.path());
  StopWhenDone stop;
  Idle(config);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  HANDLE firstEvent = g_filterSlot.m_hStopEvent;
  StopRepositoryUpdateThread();

  g_filterSlot.m_installedFiles.SetAt("kept.dat", 0x1234);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  EXPECT_NE(g_filterSlot.m_hStopEvent, INVALID_HANDLE_VALUE);
  EXPECT_NE(g_filterSlot.m_hStopEvent, firstEvent);
  EXPECT_NE(g_filterSlot.m_hMailServer, nullptr);
  StopRepositoryUpdateThread();
  DWORD crc = 0;
  EXPECT_TRUE(g_filterSlot.m_installedFiles.Lookup("kept.dat", crc));
  EXPECT_EQ(crc, 0x1234u);
  EXPECT_EQ(FakeScript::Get().workers(), 2);
}

TEST_F(SlotTest, RacingStartsStartOneThreadAndRacingStopsJoinItOnce) {
  TestConfig config("MailFilter0", dir_.path());
  StopWhenDone stop;
  Idle(config);
  constexpr int kRounds = 40;
  std::atomic<int> startResults{0};
  std::barrier sync(2);
  auto racer = [&] {
    for (int round = 0; round < kRounds; ++round) {
      sync.arrive_and_wait();
      startResults += static_cast<int>(StartRepositoryUpdateThread(config.get()));
      sync.arrive_and_wait();
      StopRepositoryUpdateThread();
    }
  };
  std::thread a(racer);
  std::thread b(racer);
  a.join();
  b.join();
  EXPECT_EQ(startResults.load(), 2 * kRounds);
  EXPECT_EQ(FakeScript::Get().workers(), kRounds);
  EXPECT_EQ(g_filterSlot.m_nStarted.load(), 0);
  EXPECT_EQ(g_filterSlot.m_hStopEvent, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_filterSlot.m_hMailServer, nullptr);
}

TEST_F(SlotTest, StartsAndStopsRacingFreelyLeaveASlotThatStillWorks) {
  TestConfig config("MailFilter0", dir_.path());
  StopWhenDone stop;
  Idle(config);
  std::atomic<bool> go{true};
  auto starter = [&] {
    while (go) StartRepositoryUpdateThread(config.get());
  };
  auto stopper = [&] {
    while (go) StopRepositoryUpdateThread();
  };
  std::thread a(starter);
  std::thread b(stopper);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  go = false;
  a.join();
  b.join();
  StopRepositoryUpdateThread();
  EXPECT_EQ(g_filterSlot.m_nStarted.load(), 0);
  ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
  EXPECT_EQ(g_filterSlot.m_nStarted.load(), 1);
}

TEST_F(SlotTest, IllegalUpdatesFlagOfEitherSlotIsReportedAndOutlivesStop) {
  EXPECT_EQ(IllegalUpdatesDetected(), 0u);
  g_defaultSlot.m_bIllegalUpdates.exchange(1);
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
  StopRepositoryUpdateThread();
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
}

TEST_F(SlotTest, NullBlockIsRefused) {
  EXPECT_EQ(StartRepositoryUpdateThread(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(g_defaultSlot.m_nStarted.load(), 0);
}

}  // namespace
