// The platform's files: directory search with the Windows matching rules, sorted by name in byte
// order; and copying a file over another, the installation's step that must never leave a
// half-written definition file behind. Threads: the Windows priority a thread is given is the
// nice value it runs with, and an event set while several threads wait on it wakes them all.
#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "platform/win32.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// Bytes that no two offsets share within a copy buffer, so a chunk written twice or skipped
// shows in the comparison.
std::string PatternedBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

int g_writesLeft = 0;  // before the disk is full

TEST(CopyFileTest, FailuresMidCopyKeepTheOldTargetAndLeaveNoTemporaryFile) {
  TempDir dir;
  const std::string from = dir / "from", to = dir / "to";
  const std::string content = PatternedBytes(3 * 256 * 1024 + 17);  // several buffers and a tail
  const std::string old(4 * 256 * 1024, 'o');                       // longer than the new content
  WriteFile(from, content);
  WriteFile(to, old);
  // No ASSERT until the real calls are back: an early return would leave them replaced.
  PosixCalls().write = [](int fd, const void* buffer, std::size_t count) -> ssize_t {
    return g_writesLeft-- > 0 ? ::write(fd, buffer, count) : (errno = ENOSPC, -1);
  };
  g_writesLeft = 1;
  EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  EXPECT_EQ(ERROR_DISK_FULL, GetLastError());
  EXPECT_TRUE(ReadFile(to) == old);
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));

  ResetPosixCalls();
  PosixCalls().rename = [](const char*, const char*) { return errno = EXDEV, -1; };
  EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  ResetPosixCalls();
  EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());

  fs::last_write_time(from, fs::file_time_type::clock::now() - std::chrono::hours(24));
  fs::permissions(from, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  EXPECT_TRUE(ReadFile(to) == content);
  // The copy keeps the source's time, as the next installation's check of unchanged files needs,
  // and its mode.
  EXPECT_EQ(fs::last_write_time(to), fs::last_write_time(from));
  EXPECT_EQ(fs::status(to).permissions(), fs::status(from).permissions());
  // A copy and a move may replace a file only when asked to.
  EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), TRUE));
  EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());
  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
}

TEST(WildcardTest, WindowsMatchingRules) {
  struct {
    const char* wildcard;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*.*", "..", true},
      {"*.*", "no_dot", true},
      {"*.dat", "a.b.dat", true},
      {"*.dat", "file.dat.bak", false},
      {"file.*", "file", true},  // a trailing ".*" takes an empty extension
      {"f?le.txt", "FILE.TXT", true},
      {"*a*b", "xaxbxab", true},  // the second '*' has to backtrack
      {"*a*b", "xaxbxa", false},
      {"\xC3\x84*", "\xC3\x84x", true},  // bytes above 127 match themselves only
      {"\xC3\xA4*", "\xC3\x84x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.matches, WildcardMatches(c.wildcard, c.name)) << c.wildcard << " / " << c.name;
  }
}

// Every name a search yields, in order; empty when the search fails.
std::vector<std::string> Search(const std::string& pattern) {
  std::vector<std::string> found;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do found.push_back(data.cFileName);
  while (FindNextFileA(find, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(find));
  return found;
}

TEST(DirectorySearchTest, ListsSortedMatchesAndSaysWhyThereAreNone) {
  const std::size_t handlesBefore = CountOpenHandles();
  TempDir dir;
  for (const char* name : {"b.dat", "A.DAT", "readme", "sub.dat/inner.dat"})
    WriteFile(dir / name, "x");
  using Names = std::vector<std::string>;
  EXPECT_EQ((Names{".", "..", "A.DAT", "b.dat", "readme", "sub.dat"}), Search(dir / "*"));
  EXPECT_EQ((Names{"A.DAT", "b.dat", "sub.dat"}), Search(dir / "*.dat"));
  EXPECT_EQ(Names{}, Search(dir / "*.exe"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(Names{}, Search(dir / "missing/*.*"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(Names{}, Search(dir / "readme/*.*"));  // a file on the way is no directory either
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(Names{}, Search(dir / (std::string(256, 'n') + "/*.*")));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, GetLastError());
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

// The threads of the process whose state line holds `text`: "(NAME) " those of a name, and
// "(NAME) S " those that sleep, as a thread blocked in a wait does.
long Threads(const std::string& text) {
  long count = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task"))
    count += ReadFile(task.path() / "stat").find(text) != std::string::npos;
  return count;
}

TEST(ThreadTest, NamedPrioritiesRunAtTheirNiceValuesAndAnEventWakesEveryWaiter) {
  const int callerNice = ::getpriority(PRIO_PROCESS, 0);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[2];
  for (HANDLE& thread : threads) {
    thread = CreatePlatformThread(
        "priorities", [](void* event) -> unsigned { return WaitForSingleObject(event, INFINITE); },
        release, 0);
    ASSERT_NE(thread, nullptr);
  }
  EXPECT_EQ(Threads("(priorities) "), 2);  // named as asked, as a look at the process shows
  // From time critical down to idle, as only a privileged user may raise a priority again (and
  // one who may not raise it at all is refused those above normal).
  const int levels[][2] = {{15, -20}, {2, -10}, {1, -5}, {0, 0}, {-1, 5}, {-2, 10}, {-15, 19}};
  for (const auto& [priority, nice] : levels) {
    if (!SetThreadPriority(threads[0], priority) && nice < 0) continue;
    EXPECT_EQ(GetThreadNiceValue(threads[0]), nice) << priority;
  }
  // Set while both threads wait, the event ends both waits (a lost wake-up hangs the test).
  testing_support::PollUntil([] { return Threads("(priorities) S ") == 2; },
                             std::chrono::seconds(10));
  SetEvent(release);
  for (HANDLE thread : threads) EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), callerNice) << "only the new thread changes";
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(release);
  EXPECT_EQ(WaitForSingleObject(release, 0), WAIT_FAILED);  // a closed handle is no time-out
}

}  // namespace
