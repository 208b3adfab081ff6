// Threads: the Windows priority a thread is given is the nice value it runs with.
#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

TEST(ThreadTest, NamedPrioritiesRunAtTheirNiceValues) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreatePlatformThread(
      "priorities", [](void* event) -> unsigned { return WaitForSingleObject(event, INFINITE); },
      release, 0);
  ASSERT_NE(thread, nullptr);
  // From time critical down to idle, as only a privileged user may raise a priority again (and
  // one who may not raise it at all is refused those above normal).
  const int levels[][2] = {{15, -20}, {2, -10}, {1, -5}, {0, 0}, {-1, 5}, {-2, 10}, {-15, 19}};
  for (const auto& [priority, nice] : levels) {
    if (!SetThreadPriority(thread, priority) && nice < 0) continue;
    EXPECT_EQ(GetThreadNiceValue(thread), nice) << priority;
  }
  SetEvent(release);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(release);
}

}  // namespace
