#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

// Generous: only ever reached when the code under test is broken.
constexpr DWORD kLongWait = 60000;

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override { handlesBefore_ = CountOpenHandles(); }
  void TearDown() override { EXPECT_EQ(handlesBefore_, CountOpenHandles()); }

 private:
  std::size_t handlesBefore_ = 0;
};

TEST_F(EventTest, WaiterIsReleasedBySetEventFromAnotherThread) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, go);
  ASSERT_NE(nullptr, done);
  DWORD result = 12345;
  std::thread waiter([&] {
    result = WaitForSingleObject(go, INFINITE);
    SetEvent(done);
  });
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(done, 20));
  EXPECT_TRUE(SetEvent(go));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done, kLongWait));
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, result);
  CloseHandle(go);
  CloseHandle(done);
}

TEST_F(EventTest, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 30));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(EventTest, AutoResetReleasesOneWaitPerSignal) {
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  SetEvent(event);
  SetEvent(event);  // not counted: a second signal before a wait is lost
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, kLongWait));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));

  // Many waiters, as many signals: each signal releases exactly one of them.
  constexpr int kWaiters = 4;
  std::atomic<int> released{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event, kLongWait) == WAIT_OBJECT_0) ++released;
      ++finished;
    });
  }
  for (int i = 0; i < kWaiters; ++i) {
    SetEvent(event);
    // Each signal must be consumed before the next is given, or the two would merge.
    while (released.load() <= i && finished.load() < kWaiters) std::this_thread::yield();
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(kWaiters, released.load());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(event);
}

TEST_F(EventTest, BadHandlesFailWithoutCrashing) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  int bogus = 0;
  for (HANDLE handle : {event, HANDLE{nullptr}, INVALID_HANDLE_VALUE, HANDLE(&bogus)}) {
    SetLastError(0);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(handle, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(ResetEvent(handle));
    EXPECT_FALSE(CloseHandle(handle));
  }
}

}  // namespace
