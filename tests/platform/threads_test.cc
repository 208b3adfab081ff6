// Worker threads: a handle that signals when the routine returns, a lowered priority that
// belongs to the thread alone, and a handle the platform releases after the join.
#include <errno.h>
#include <sys/resource.h>

#include <climits>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kLongWait = 60000;

struct Observation {
  HANDLE release = nullptr;  // the routine waits for this event before it returns
  int niceAtEnd = INT_MIN;
};

unsigned ObservingRoutine(void* argument) {
  auto* seen = static_cast<Observation*>(argument);
  WaitForSingleObject(seen->release, kLongWait);
  errno = 0;
  seen->niceAtEnd = getpriority(PRIO_PROCESS, 0);  // this thread's own nice value on Linux
  return 0;
}

TEST(ThreadTest, LowestPriorityWaitAndReleaseAfterTheJoin) {
  const std::size_t handlesBefore = CountOpenHandles();
  errno = 0;
  const int niceBefore = getpriority(PRIO_PROCESS, 0);
  Observation seen;
  seen.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreatePlatformThread("RepositoryUpdateThread", ObservingRoutine, &seen, 32768);
  ASSERT_NE(nullptr, thread);
  // At once: the handle is only handed out when the thread can be found by the kernel.
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  EXPECT_EQ(10, GetThreadNiceValue(thread));

  ASSERT_TRUE(CloseHandleWhenJoined(thread));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));  // a time-out is no join
  SetEvent(seen.release);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
  EXPECT_EQ(10, seen.niceAtEnd);  // the thread itself, not the process, was changed
  EXPECT_EQ(niceBefore, getpriority(PRIO_PROCESS, 0));

  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));  // released by the platform
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  CloseHandle(seen.release);
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

}  // namespace
