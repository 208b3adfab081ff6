// The two update slots (who gets which, once-only starts, what survives a stop) and the worker
// loop's schedule, run with objects whose connects answer from a script. A successful connect
// delivers an empty trigger file, so the real cycle runs to its end with nothing to fetch. The
// schedule is watched as an administrator sees it: the next-update time the loop publishes after
// every pass, and the update-now property that cuts a wait short.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "service/transport_factory.h"
#include "service/update_slot.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/repository_updates.h"

namespace {

using namespace testing_support;

std::atomic<int> g_failures{0};  // how many connects fail before they succeed
std::atomic<int> g_connects{0};

class FakeRunObject : public CRepositoryUpdates {
 public:
  explicit FakeRunObject(UpdateSlot* slot) : CRepositoryUpdates(slot) {}
  BOOL Connect() override {
    ++g_connects;
    if (g_failures-- > 0) return FALSE;
    m_pRemoteTriggerFile = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(0, "Fake", 0));
    return TRUE;
  }
  void Disconnect() override {}
  BOOL IsConnected() override { return m_pRemoteTriggerFile != nullptr; }
  BOOL FetchFile(const std::string&) override { return FALSE; }
};

class SlotTest : public ::testing::Test {
 protected:
  SlotTest() {
    SetRunObjectFactoryForTesting([](UpdateSlot* slot) -> std::unique_ptr<CRepositoryUpdates> {
      return std::make_unique<FakeRunObject>(slot);
    });
    // The slots are the process's own and outlive a test.
    for (UpdateSlot* slot : {&g_filterSlot, &g_defaultSlot}) slot->m_bIllegalUpdates.store(0);
    // Requested-only mode: each pass only checks the installed files, then waits an hour.
    for (TestConfig* config : {&filter_, &upper_, &spam_}) config->SetDword("UpdateInterval", 0);
  }
  // Stops before the blocks go: the host keeps a block valid until the stop has returned.
  ~SlotTest() override {
    StopRepositoryUpdateThread();
    SetRunObjectFactoryForTesting(nullptr);
  }

  TempDir dir_;
  TestConfig filter_{"MailFilter0", dir_ / "filter"};
  TestConfig upper_{"MAILFILTER0", dir_ / "upper"};
  TestConfig spam_{"AntiSpam", dir_ / "spam"};
};

TEST_F(SlotTest, StartsAndStopsOfTheTwoSlots) {
  EXPECT_EQ(&SlotForProcessor("MailFilter0 "), &g_defaultSlot);
  EXPECT_EQ(StartRepositoryUpdateThread(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  g_filterSlot.m_bIllegalUpdates.exchange(1);
  g_filterSlot.m_installedFiles.SetAt("kept.dat", 0x1234);

  // A start that cannot open the store fails, and leaves the slot to the next start.
  ::setenv("VELMORA_PROPERTY_STORE", "/proc/no/store.db", 1);
  EXPECT_EQ(StartRepositoryUpdateThread(upper_.get()), 0u);
  ::unsetenv("VELMORA_PROPERTY_STORE");
  // "MAILFILTER0" takes the filter slot; a second start of a started slot keeps the first block.
  ASSERT_EQ(StartRepositoryUpdateThread(upper_.get()), 1u);
  EXPECT_EQ(StartRepositoryUpdateThread(filter_.get()), 1u);
  EXPECT_EQ(g_filterSlot.m_pConfig, upper_.get());
  EXPECT_EQ(GetThreadNiceValue(g_filterSlot.m_hThread), 10) << "the lowest priority";
  StopRepositoryUpdateThread();
  // The illegal-updates flag and the record of installed files outlive a stop.
  EXPECT_EQ(IllegalUpdatesDetected(), 1u);
  DWORD crc = 0;
  EXPECT_TRUE(g_filterSlot.m_installedFiles.Lookup("kept.dat", crc) && crc == 0x1234u);
}

TEST_F(SlotTest, ScheduleClampsBacksOffAndRunsRequestedCycles) {
  constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;
  constexpr int kKeep = -1;  // the interval property left as it stands
  constexpr int kText = -2;  // an interval that does not read as a number
  spam_->minUpdateInterval = 30;
  spam_->maxUpdateInterval = 7200;
  spam_->maxRetryInterval = 200;
  // Each row: how many connects fail first; the passes, as the interval property set before the
  // pass and the gap to the next update it publishes (0: none); the connects made in all; and
  // whether the installed files were altered.
  const std::tuple<int, std::vector<std::pair<int, std::uint32_t>>, int, bool> schedules[] = {
      // Failures back off 60, 120, 200; a success returns to the base.
      {3, {{600, 60}, {kKeep, 120}, {kKeep, 200}, {kKeep, 600}}, 4, false},
      // A retry interval equal to the base never doubles.
      {3, {{60, 60}, {kKeep, 60}, {kKeep, 60}}, 3, false},
      // Clamped to 30..7200 as read after each cycle; an unreadable one takes 3600.
      {0, {{5, 30}, {100000, 7200}, {kText, 3600}}, 3, false},
      // Off: the first pass only checks the files; a requested cycle reads the new interval.
      {0, {{0, 0}, {600, 600}}, 1, false},
      // Off: a failed requested cycle stays in requested-only mode; so does a slot switched off
      // while it backs off.
      {1, {{0, 0}, {kKeep, 0}}, 1, false},
      {2, {{600, 60}, {0, 0}}, 2, false},
      // Altered installed files: the check of a pass without a cycle raises the flag.
      {0, {{0, 0}}, 0, true},
      // So does the check after a failed cycle, which switches to requested-only; a requested
      // cycle that succeeds resumes the schedule.
      {1, {{600, 0}, {kKeep, 600}}, 2, true},
  };
  LogCapture log;
  WriteFile(spam_.definitionsDir() + "/a.dat", "altered content");
  // The record of the altered rows as a restarted host has it: in the store only, and longer than
  // the first read of a text takes. Odd rows store it and the interval untyped, as an
  // administrator's tool may.
  CTriggerFileData record;
  for (char c = 'a'; c <= 'z'; ++c) record.SetAt(c + std::string(".dat"), 0x1234abcd);
  for (std::size_t row = 0; row < std::size(schedules); ++row) {
    SCOPED_TRACE(row);
    const auto& [failures, passes, connects, altered] = schedules[row];
    g_defaultSlot.m_bIllegalUpdates.store(0);
    g_defaultSlot.m_installedFiles.RemoveAll();
    spam_.SetString("InstalledFiles", altered ? record.Encode() : "", row % 2 != 0);
    g_failures = failures;
    for (const auto& [interval, expected] : passes) {
      if (interval >= 0) spam_.SetDword("UpdateInterval", interval, row % 2 != 0);
      if (interval == kText) spam_.SetString("UpdateInterval", "not a number");
      // The first pass runs at the start; each later one on request (the start then does nothing).
      if (&interval != &passes[0].first) spam_.SetDword("UpdateNow", 1);
      ASSERT_EQ(StartRepositoryUpdateThread(spam_.get()), 1u);
      std::uint32_t next = kSentinel;
      EXPECT_TRUE(spam_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
      // The loop wrote its time plus the gap a moment before this reads the time.
      const std::uint32_t gap = next - std::min(next, CurrentTime32());
      spam_.SetDword("NextUpdateTime", kSentinel);
      EXPECT_LE(gap, expected) << "published gap";
      EXPECT_GE(gap + 3, expected) << "published gap";
    }
    StopRepositoryUpdateThread();  // after a long wait: a loop deaf to the stop would hang here
    EXPECT_EQ(g_connects.exchange(0), connects);
    EXPECT_EQ(IllegalUpdatesDetected(), altered ? 1u : 0u);
  }
  // Off, passes come the default interval apart (2 s here, not min_interval's 1), and a step
  // of a second and a bit counts as one second.
  spam_->minUpdateInterval = 1;
  spam_->defaultUpdateInterval = 2;
  spam_->waitStepMs = 1010;
  spam_.SetDword("UpdateInterval", 0);
  ASSERT_EQ(StartRepositoryUpdateThread(spam_.get()), 1u);
  std::uint32_t next = kSentinel;
  ASSERT_TRUE(spam_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
  spam_.SetDword("NextUpdateTime", kSentinel);
  EXPECT_FALSE(spam_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next,
                                           std::chrono::milliseconds(1500)))
      << "a second pass after one step";
  EXPECT_TRUE(spam_.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
  EXPECT_TRUE(log.Contains(Is(
      Error(3001, {"Checking the integrity of the AntiSpam Display definition files",
                   "Invalid AntiSpam Displaydefinition files detected.  Disabling AntiSpam Display "
                   "processing for this mail server.  Please contact technical support."}))))
      << log.Dump();
}

}  // namespace
