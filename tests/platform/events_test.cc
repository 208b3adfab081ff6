// Manual-reset events: what the slots' stop events rely on.
#include <thread>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

TEST(EventTest, TimedWaitsManualResetAndWakingAWaiterFromAnotherThread) {
  const std::size_t handlesBefore = CountOpenHandles();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  DWORD result = 12345;
  std::thread waiter([&] { result = WaitForSingleObject(event, 60000); });
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 30));  // meanwhile the waiter blocks
  EXPECT_TRUE(SetEvent(event));
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, result);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));  // stays signalled until reset
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  EXPECT_TRUE(CloseHandle(event));

  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(event, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

}  // namespace
