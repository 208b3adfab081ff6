#include "integrity/file_helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/utility.h"
#include "integrity/posix_faults.h"
#include "support/temp_dir.h"

namespace {

using testing_support::FileExists;
using testing_support::MakeDirectories;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const std::string kContent("binary\0\xFF content\r\n", 19);

// Every test must hand back every block it was given.
class FileHelpersTest : public testing::Test {
 protected:
  void SetUp() override { blocksAtStart_ = CMemoryDebugging::OutstandingBlocks(); }
  void TearDown() override {
    CMemoryDebugging::FailAllocations(0, 0);
    EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksAtStart_);
  }
  BYTE* Allocate(std::size_t size) {
    return static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(size, "test", __LINE__));
  }
  std::string Path(const std::string& name) const { return dir_ / name; }

  TempDir dir_;
  std::size_t blocksAtStart_ = 0;
};

TEST_F(FileHelpersTest, ReadReplacesAnEarlierBuffer) {
  WriteFile(Path("f"), kContent);
  WriteFile(Path("empty"), "");
  BYTE* buffer = Allocate(5);
  DWORD length = 5;
  ASSERT_TRUE(ReadFileIntoBuffer(Path("f").c_str(), &buffer, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), kContent);
  ASSERT_TRUE(ReadFileIntoBuffer(Path("empty").c_str(), &buffer, &length));
  EXPECT_EQ(length, 0u);
  CMemoryDebugging::TraceDeallocate(buffer);
}

TEST_F(FileHelpersTest, ReadThatFailsBeforeAllocatingLeavesTheCallersBufferAlone) {
  MakeDirectories(Path("dir"));
  std::vector<std::string> paths = {Path("missing"), Path("dir")};
  int fd = open(Path("big").c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd >= 0 && ftruncate(fd, off_t{1} << 32) == 0) paths.push_back(Path("big"));  // sparse
  if (fd >= 0) close(fd);
  BYTE* buffer = Allocate(3);
  BYTE* const earlier = buffer;
  for (const std::string& path : paths) {
    DWORD length = 3;
    EXPECT_FALSE(ReadFileIntoBuffer(path.c_str(), &buffer, &length)) << path;
    EXPECT_EQ(buffer, earlier);
    EXPECT_EQ(length, 3u);
  }
  EXPECT_EQ(paths.size(), 3u) << "no sparse file: the 4 GiB case went untested";
  CMemoryDebugging::TraceDeallocate(buffer);
}

TEST_F(FileHelpersTest, ReadAllocationFailureReleasesTheEarlierBuffer) {
  WriteFile(Path("f"), kContent);
  BYTE* buffer = Allocate(5);
  DWORD length = 0;
  CMemoryDebugging::FailAllocations(0, 1);
  EXPECT_FALSE(ReadFileIntoBuffer(Path("f").c_str(), &buffer, &length));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, kContent.size());
}

TEST_F(FileHelpersTest, ReadCopesWithShortReadsAndFailsCleanlyOnAReadError) {
  std::string data(100000, 'x');
  WriteFile(Path("f"), data);
  BYTE* buffer = nullptr;
  DWORD length = 0;
  PosixFaults faults;
  faults.Reads(4096);
  ASSERT_TRUE(ReadFileIntoBuffer(Path("f").c_str(), &buffer, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), data);
  faults.Reads(4096, /*failAt=*/3);
  EXPECT_FALSE(ReadFileIntoBuffer(Path("f").c_str(), &buffer, &length));
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(FileHelpersTest, NullArgumentsAreInvalidParameters) {
  BYTE* buffer = nullptr;
  DWORD length = 0;
  SetLastError(0);
  EXPECT_FALSE(ReadFileIntoBuffer(nullptr, &buffer, &length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReadFileIntoBuffer(Path("f").c_str(), &buffer, nullptr));
  SetLastError(0);
  EXPECT_FALSE(WriteBufferToFile(nullptr, 1, 0, Path("n").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(FileExists(Path("n")));
  EXPECT_TRUE(WriteBufferToFile(nullptr, 0, 0, Path("n").c_str()));
  EXPECT_TRUE(FileExists(Path("n")));
}

TEST_F(FileHelpersTest, WriteTruncatesOrLeavesEmptyOnAHighHalf) {
  WriteFile(Path("f"), std::string(1000, 'o'));
  ASSERT_TRUE(WriteBufferToFile(kContent.data(), static_cast<DWORD>(kContent.size()), 0,
                                Path("f").c_str()));
  EXPECT_EQ(ReadFile(Path("f")), kContent);
  SetLastError(0);
  EXPECT_FALSE(WriteBufferToFile(kContent.data(), 3, 1, Path("f").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(FileExists(Path("f")));
  EXPECT_EQ(ReadFile(Path("f")), "");
}

TEST_F(FileHelpersTest, WriteReportsTheOperatingSystemsReason) {
  MakeDirectories(Path("dir"));
  SetLastError(0);
  EXPECT_FALSE(WriteBufferToFile("x", 1, 0, Path("dir").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  std::string data(10000, 'd');
  PosixFaults faults;
  faults.FillDiskAfter(4000);
  EXPECT_FALSE(WriteBufferToFile(data.data(), 10000, 0, Path("f").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(ReadFile(Path("f")), data.substr(0, 4000));  // what was written stays
}

}  // namespace
