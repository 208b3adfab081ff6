// Worker threads: the lowest priority lowers the thread alone (a high nice value), and the handle
// signals when the routine returns and is released by the platform after the join.
#include <sys/resource.h>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

struct Shared {
  HANDLE release;  // the routine waits for it before it returns
  int nice = -100;
};

unsigned NiceOfThisThread(void* argument) {
  auto* shared = static_cast<Shared*>(argument);
  WaitForSingleObject(shared->release, 60000);
  shared->nice = getpriority(PRIO_PROCESS, 0);  // this thread's own nice value on Linux
  return 0;
}

TEST(ThreadTest, LowestPriorityWaitAndReleaseAfterTheJoin) {
  const std::size_t handlesBefore = CountOpenHandles();
  const int niceBefore = getpriority(PRIO_PROCESS, 0);
  Shared shared{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = CreatePlatformThread("RepositoryUpdateThread", NiceOfThisThread, &shared, 32768);
  ASSERT_NE(nullptr, thread);
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  ASSERT_TRUE(CloseHandleWhenJoined(thread));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));  // a time-out is no join
  SetEvent(shared.release);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
  EXPECT_EQ(10, shared.nice);
  EXPECT_EQ(niceBefore, getpriority(PRIO_PROCESS, 0));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));  // released by the platform
  CloseHandle(shared.release);
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

}  // namespace
