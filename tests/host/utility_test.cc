#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/utility.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

TEST(PropertyTextTest, RoundTripsEveryByteWithinTheSizeRules) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  const DWORD n = static_cast<DWORD>(bytes.size());
  std::string encoded(2 * n + 1, '?');
  ASSERT_TRUE(EncodePropertyText(bytes.data(), n, encoded.data(), 2 * n));
  EXPECT_EQ(std::strlen(encoded.c_str()), 2 * n);
  EXPECT_EQ(encoded.substr(0, 8), "00010203");
  EXPECT_EQ(encoded.substr(2 * n - 6, 6), "fdfeff");

  // The decoder's capacity is the encoded text's length.
  std::string decoded(2 * n, '\0');
  DWORD length = 2 * n;
  ASSERT_TRUE(DecodePropertyText(encoded.c_str(), decoded.data(), &length));
  ASSERT_EQ(length, n);
  EXPECT_EQ(decoded.substr(0, n), bytes);

  char empty[1] = {'?'};
  EXPECT_TRUE(EncodePropertyText("", 0, empty, 0));
  EXPECT_STREQ(empty, "");
  length = 0;
  EXPECT_TRUE(DecodePropertyText("", empty, &length));
  EXPECT_EQ(length, 0u);
}

TEST(PropertyTextTest, EncoderRefusesTooSmallOrMissingBuffers) {
  char dest[8];
  std::memset(dest, '?', sizeof dest);
  EXPECT_FALSE(EncodePropertyText("abcd", 4, dest, 7));
  EXPECT_STREQ(dest, "");
  EXPECT_FALSE(EncodePropertyText(nullptr, 1, dest, 7));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EncodePropertyText("a", 1, nullptr, 2));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(EncodePropertyText("\x12\xab", 2, dest, 4));
  EXPECT_STREQ(dest, "12ab");
}

TEST(PropertyTextTest, DecoderKeepsWhatItDecodedBeforeStopping) {
  unsigned char dest[8] = {};
  DWORD length = sizeof dest;
  EXPECT_FALSE(DecodePropertyText("41zz42", dest, &length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(dest[0], 0x41);

  length = sizeof dest;
  EXPECT_FALSE(DecodePropertyText("4142a", dest, &length));  // a half byte at the end
  EXPECT_EQ(length, 2u);

  length = 2;
  EXPECT_FALSE(DecodePropertyText("414243", dest, &length));  // no room for the third
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(dest[2], 0) << "wrote past the capacity";

  length = sizeof dest;
  EXPECT_TRUE(DecodePropertyText("AbCd", dest, &length));
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(dest[0], 0xab);

  length = 5;
  EXPECT_FALSE(DecodePropertyText(nullptr, dest, &length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_FALSE(DecodePropertyText("41", dest, nullptr));
}

TEST(MemoryDebuggingTest, CountsBlocksPerTagByTheTagsText) {
  // Equal tags at different addresses are one tag: callers in different objects pass their own
  // copies of a literal.
  char tagCopy[] = "AllocatorTest.cc";
  const std::size_t before = CMemoryDebugging::OutstandingBlocks();
  void* a = CMemoryDebugging::TraceAllocate(100, "AllocatorTest.cc", 1);
  void* b = CMemoryDebugging::TraceAllocate(0, tagCopy, 2);
  void* c = CMemoryDebugging::TraceAllocate(1, "OtherTag.cc", 3);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % alignof(std::max_align_t), 0u);
  std::memset(a, 0xee, 100);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("AllocatorTest.cc"), 2u);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("OtherTag.cc"), 1u);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("NeverUsed.cc"), 0u);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), before + 3);

  CMemoryDebugging::TraceDeallocate(b);
  CMemoryDebugging::TraceDeallocate(a);
  CMemoryDebugging::TraceDeallocate(nullptr);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("AllocatorTest.cc"), 0u);
  CMemoryDebugging::TraceDeallocate(c);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), before);
}

TEST(MemoryDebuggingTest, InjectedFailuresSkipThenFailThenRecover) {
  CMemoryDebugging::FailAllocations(2, 2);
  std::vector<void*> results;
  for (int i = 0; i < 5; ++i) results.push_back(CMemoryDebugging::TraceAllocate(8, "Fail.cc", i));
  EXPECT_NE(results[0], nullptr);
  EXPECT_NE(results[1], nullptr);
  EXPECT_EQ(results[2], nullptr);
  EXPECT_EQ(results[3], nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_NE(results[4], nullptr);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("Fail.cc"), 3u) << "failures are not counted";
  for (void* block : results) CMemoryDebugging::TraceDeallocate(block);

  CMemoryDebugging::FailAllocations(0, 5);
  CMemoryDebugging::FailAllocations(0, 0);
  void* block = CMemoryDebugging::TraceAllocate(8, "Fail.cc", 9);
  EXPECT_NE(block, nullptr);
  CMemoryDebugging::TraceDeallocate(block);
  EXPECT_EQ(CMemoryDebugging::TraceAllocate(SIZE_MAX, "Fail.cc", 10), nullptr);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("Fail.cc"), 0u);
}

TEST(MemoryDebuggingTest, CountsStayExactUnderConcurrentUse) {
  std::vector<std::vector<void*>> kept(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mine = kept[t]] {
      const char* tag = t % 2 == 0 ? "Even.cc" : "Odd.cc";
      for (int i = 0; i < 2000; ++i) {
        void* block = CMemoryDebugging::TraceAllocate(16, tag, i);
        if (i % 2 == 0) {
          CMemoryDebugging::TraceDeallocate(block);
        } else {
          mine.push_back(block);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("Even.cc"), 2000u);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("Odd.cc"), 2000u);
  for (auto& blocks : kept) {
    for (void* block : blocks) CMemoryDebugging::TraceDeallocate(block);
  }
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks("Even.cc"), 0u);
}

TEST(CreateDirectoryPathTest, MakesMissingParentsAndAcceptsExistingDirectories) {
  TempDir dir;
  const std::string deep = dir / "a/b//c/d/e/";
  ASSERT_TRUE(CreateDirectoryPath(deep.c_str())) << GetLastError();
  EXPECT_TRUE(testing_support::FileExists(dir / "a/b/c/d/e"));
  EXPECT_TRUE(CreateDirectoryPath(deep.c_str()));
  EXPECT_TRUE(CreateDirectoryPath((dir / "a").c_str()));

  // Several threads making overlapping paths at once all succeed.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::string path = dir / "x/y/z/" + std::to_string(t % 2);
      if (!CreateDirectoryPath(path.c_str())) ++failures;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(CreateDirectoryPathTest, AFileInTheWayOrNoPathFails) {
  TempDir dir;
  testing_support::WriteFile(dir / "file", "x");
  EXPECT_FALSE(CreateDirectoryPath((dir / "file").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CreateDirectoryPath((dir / "file/sub/deeper").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(testing_support::FileExists(dir / "file/sub"));
  EXPECT_FALSE(CreateDirectoryPath(""));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CreateDirectoryPath(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

unsigned AddOne(void* argument) {
  ++*static_cast<std::atomic<int>*>(argument);
  return 0;
}

unsigned Throw(void*) {
  throw std::runtime_error("definitions unreadable");
}

TEST(ManagedThreadTest, RunsTheRoutineAndReleasesTheHandleAfterTheWait) {
  std::atomic<int> counter{0};
  HANDLE thread = BeginManagedThread("AddOne", AddOne, 32768, &counter);
  ASSERT_NE(thread, INVALID_HANDLE_VALUE);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  EXPECT_EQ(counter.load(), 1);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(BeginManagedThread("none", nullptr, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ManagedThreadTest, AnEscapingExceptionIsLoggedAndEndsTheThread) {
  testing_support::LogCapture capture;
  HANDLE thread = BeginManagedThread("RepositoryUpdateThread", Throw, 32768, nullptr);
  ASSERT_NE(thread, INVALID_HANDLE_VALUE);
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  std::vector<LogEntry> entries = capture.entries();
  ASSERT_EQ(entries.size(), 1u) << capture.Dump();
  EXPECT_TRUE(entries[0].error);
  EXPECT_EQ(entries[0].source, "ThreadManager");
  EXPECT_EQ(entries[0].texts,
            (std::vector<std::string>{"RepositoryUpdateThread", "definitions unreadable"}));
}

}  // namespace
