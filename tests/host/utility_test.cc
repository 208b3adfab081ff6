// The host's utility library: the tracing allocator's counts, which every leak check relies on,
// managed threads, directory creation, and the text form of binary properties.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/utility.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

TEST(MemoryDebuggingTest, CountsBlocksPerTag) {
  // Equal tags at different addresses are one tag: callers pass their own copies of a literal.
  char tagCopy[] = "AllocatorTest.cc";
  const std::size_t before = CMemoryDebugging::OutstandingBlocks();
  void* a = CMemoryDebugging::TraceAllocate(100, "AllocatorTest.cc", 1);
  void* b = CMemoryDebugging::TraceAllocate(0, tagCopy, 2);
  ASSERT_TRUE(a != nullptr && b != nullptr && a != b);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("AllocatorTest.cc"), 2u);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), before + 2);
  CMemoryDebugging::TraceDeallocate(b);
  CMemoryDebugging::TraceDeallocate(a);
  CMemoryDebugging::TraceDeallocate(nullptr);

  EXPECT_EQ(CMemoryDebugging::TraceAllocate(SIZE_MAX, "Fail.cc", 10), nullptr);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), before);
}

TEST(ManagedThreadTest, AnEscapingExceptionIsLoggedWithTheThreadsName) {
  testing_support::LogCapture log;
  HANDLE thread = BeginManagedThread(
      "Worker", [](void*) -> unsigned { throw std::runtime_error("boom"); }, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(testing_support::Describe(log.entries()[0]), "error 0 [Worker | boom]");
}

TEST(CreateDirectoryPathTest, MakesMissingParentsButNotThroughAFile) {
  testing_support::TempDir dir;
  testing_support::WriteFile(dir / "file", "x");
  const std::string deep = dir / "a/b//c/d/e/";
  const mode_t umask = ::umask(022);
  ASSERT_TRUE(CreateDirectoryPath(deep.c_str())) << GetLastError();
  ::umask(umask);  // the mail server, another user, reads what the updater makes
  EXPECT_EQ(std::filesystem::status(dir / "a/b/c/d/e").permissions(), std::filesystem::perms(0755));
  EXPECT_FALSE(CreateDirectoryPath((dir / "file").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CreateDirectoryPath((dir / "file/sub/deeper").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CreateDirectoryPath(""));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Decoding keeps what fits and says whether it ran out of room or met something not hexadecimal.
TEST(PropertyTextTest, RoundTripsAndSaysWhyADecodeStopped) {
  char text[7];
  ASSERT_TRUE(EncodePropertyText("ab/", 3, text, 6));
  EXPECT_STREQ(text, "61622f");
  char bytes[3] = {};
  DWORD length = 2;
  EXPECT_FALSE(DecodePropertyText(text, bytes, &length));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(bytes, length), "ab");
  length = 3;
  EXPECT_FALSE(DecodePropertyText("61zz", bytes, &length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(length, 1u);
  length = 3;
  EXPECT_TRUE(DecodePropertyText(text, bytes, &length));
  EXPECT_EQ(std::string(bytes, length), "ab/");
  EXPECT_TRUE(DecodePropertyText("4F6f", bytes, &length));
  EXPECT_EQ(std::string(bytes, length), "Oo");
}

}  // namespace
