#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kLongWait = 60000;

// What a thread saw of itself, filled in by ObservingRoutine.
struct Observation {
  HANDLE release = nullptr;  // the routine waits for this event before it returns
  char name[32] = {};
  std::size_t stackSize = 0;
  int niceAtEnd = INT_MIN;
  std::atomic<bool> ran{false};
};

unsigned ObservingRoutine(void* argument) {
  auto* seen = static_cast<Observation*>(argument);
  pthread_getname_np(pthread_self(), seen->name, sizeof seen->name);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &seen->stackSize);
    pthread_attr_destroy(&attr);
  }
  if (seen->release != nullptr) WaitForSingleObject(seen->release, kLongWait);
  errno = 0;
  seen->niceAtEnd = getpriority(PRIO_PROCESS, 0);  // this thread's own nice value on Linux
  seen->ran = true;
  return 0;
}

unsigned EmptyRoutine(void*) {
  return 0;
}

std::size_t DefaultStackSize() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  std::size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

TEST(ThreadTest, HandleIsSignalledWhenTheRoutineReturns) {
  std::size_t handlesBefore = CountOpenHandles();
  Observation seen;
  seen.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreatePlatformThread("RepositoryUpdateThread", ObservingRoutine, &seen, 32768);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));
  SetEvent(seen.release);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
  EXPECT_TRUE(seen.ran);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));  // stays signalled

  EXPECT_STREQ("RepositoryUpdat", seen.name);     // the kernel keeps 15 bytes
  EXPECT_GE(seen.stackSize, DefaultStackSize());  // 32 KiB asked, the default given

  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(seen.release));

  Observation large;
  std::size_t wanted = DefaultStackSize() * 2 + 12345;
  thread = CreatePlatformThread(nullptr, ObservingRoutine, &large, wanted);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
  EXPECT_GE(large.stackSize, wanted);
  CloseHandle(thread);
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

TEST(ThreadTest, LowestPriorityIsNiceTen) {
  Observation seen;
  seen.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreatePlatformThread("low", ObservingRoutine, &seen, 0);
  ASSERT_NE(nullptr, thread);
  // At once: the handle is only handed out when the thread can be found by the kernel.
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  EXPECT_EQ(10, GetThreadNiceValue(thread));
  ASSERT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(19, GetThreadNiceValue(thread));
  SetEvent(seen.release);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
  EXPECT_EQ(19, seen.niceAtEnd);  // the thread itself, not the process, was changed
  EXPECT_EQ(19, GetThreadNiceValue(thread));
  errno = 0;
  EXPECT_NE(19, getpriority(PRIO_PROCESS, 0));

  // An ended thread is left alone.
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  CloseHandle(thread);
  CloseHandle(seen.release);

  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(INT32_MIN, GetThreadNiceValue(thread));
}

// Either order: handed over first and then joined, or joined first and then handed over. The
// table must not grow, and a second wait on the handle must fail cleanly.
TEST(ThreadTest, CloseHandleWhenJoinedReleasesAfterTheJoin) {
  std::size_t handlesBefore = CountOpenHandles();
  for (int i = 0; i < 1000; ++i) {
    HANDLE thread = CreatePlatformThread("cycle", EmptyRoutine, nullptr, 0);
    ASSERT_NE(nullptr, thread);
    if (i % 2 == 0) {
      ASSERT_TRUE(CloseHandleWhenJoined(thread));
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
    } else {
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
      ASSERT_TRUE(CloseHandleWhenJoined(thread));
    }
    SetLastError(0);
    ASSERT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
    ASSERT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  }
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

TEST(ThreadTest, HandedOverHandleStaysOpenUntilAWaitSucceeds) {
  std::size_t handlesBefore = CountOpenHandles();
  Observation seen;
  seen.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreatePlatformThread("held", ObservingRoutine, &seen, 0);
  ASSERT_TRUE(CloseHandleWhenJoined(thread));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));  // a time-out is no join
  SetEvent(seen.release);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kLongWait));
  EXPECT_FALSE(CloseHandle(thread));  // already released by the platform
  CloseHandle(seen.release);
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

// A handle closed by one thread while another waits on it: the waiter either still finds the
// object (and sees the thread end) or finds the handle gone; it never touches freed memory.
TEST(ThreadTest, WaitSurvivesCloseFromAnotherThread) {
  for (int i = 0; i < 50; ++i) {
    Observation seen;
    seen.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreatePlatformThread("closed", ObservingRoutine, &seen, 0);
    DWORD result = 0;
    DWORD error = 0;
    std::thread waiter([&] {
      result = WaitForSingleObject(thread, kLongWait);
      error = GetLastError();
    });
    if (i % 2 == 0) std::this_thread::yield();
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(seen.release);
    waiter.join();
    if (result != WAIT_OBJECT_0) {
      EXPECT_EQ(WAIT_FAILED, result);
      EXPECT_EQ(ERROR_INVALID_HANDLE, error);
    }
    // The thread is detached; its end is only known through its own report.
    while (!seen.ran) std::this_thread::yield();
    CloseHandle(seen.release);
  }
}

}  // namespace
