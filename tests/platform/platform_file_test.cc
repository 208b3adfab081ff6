#include <errno.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "scoped_posix_calls.h"
#include "support/temp_dir.h"

namespace {

using testing_support::MakeDirectories;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(PlatformFileTest, WritesThenReadsBack) {
  TempDir dir;
  WriteFile(dir / "file", "a much longer previous content");
  PlatformFile file;
  ASSERT_TRUE(file.Open((dir / "file").c_str(), PlatformFile::Mode::kCreateWrite));
  ASSERT_TRUE(file.WriteAll("hello", 5));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ("hello", ReadFile(dir / "file"));

  ASSERT_TRUE(file.Open((dir / "file").c_str(), PlatformFile::Mode::kRead));
  std::uint64_t length = 0;
  ASSERT_TRUE(file.Length(&length));
  EXPECT_EQ(5u, length);
  char buffer[8] = {};
  std::size_t got = 0;
  ASSERT_TRUE(file.Read(buffer, 3, &got));
  EXPECT_EQ(3u, got);
  ASSERT_TRUE(file.Read(buffer + 3, sizeof buffer - 3, &got));
  EXPECT_EQ(2u, got);
  EXPECT_STREQ("hello", buffer);
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(0u, got);
  EXPECT_FALSE(file.WriteAll("x", 1));  // opened for reading only
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

TEST(PlatformFileTest, OpenFailuresCarryWindowsCodes) {
  TempDir dir;
  MakeDirectories(dir / "sub");
  WriteFile(dir / "file", "x");
  PlatformFile file;
  struct {
    std::string path;
    PlatformFile::Mode mode;
    DWORD code;
  } const cases[] = {
      {dir / "missing", PlatformFile::Mode::kRead, ERROR_FILE_NOT_FOUND},
      {dir / "gone/missing", PlatformFile::Mode::kRead, ERROR_PATH_NOT_FOUND},
      {dir / "gone/new", PlatformFile::Mode::kCreateWrite, ERROR_PATH_NOT_FOUND},
      {dir / "file/below", PlatformFile::Mode::kCreateWrite, ERROR_PATH_NOT_FOUND},
      {dir / "sub", PlatformFile::Mode::kRead, ERROR_ACCESS_DENIED},
      {dir / "sub", PlatformFile::Mode::kCreateWrite, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(file.Open(c.path.c_str(), c.mode)) << c.path;
    EXPECT_EQ(c.code, GetLastError()) << c.path;
    EXPECT_FALSE(file.IsOpen());
  }
  EXPECT_FALSE(file.Open(nullptr, PlatformFile::Mode::kRead));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

// Injected faults: a write that takes at most three bytes, one that takes none, and failing reads
// and closes.
ssize_t ThreeBytesAtATime(int fd, const void* buffer, std::size_t count) {
  return ::write(fd, buffer, count < 3 ? count : 3);
}
ssize_t NoRoom(int, const void*, std::size_t) {
  return 0;
}
ssize_t IoError(int, void*, std::size_t) {
  errno = EIO;
  return -1;
}
int CloseReportsLostData(int fd) {
  ::close(fd);
  errno = EDQUOT;
  return -1;
}

TEST(PlatformFileTest, InjectedFailuresAndShortWrites) {
  TempDir dir;
  std::string path = dir / "file";
  ScopedPosixCalls calls;
  PlatformFile file;

  calls->write = ThreeBytesAtATime;
  ASSERT_TRUE(file.Open(path.c_str(), PlatformFile::Mode::kCreateWrite));
  ASSERT_TRUE(file.WriteAll("0123456789", 10));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ("0123456789", ReadFile(path));

  calls->write = NoRoom;
  ASSERT_TRUE(file.Open(path.c_str(), PlatformFile::Mode::kCreateWrite));
  EXPECT_FALSE(file.WriteAll("x", 1));
  EXPECT_EQ(ERROR_DISK_FULL, GetLastError());

  calls->close = CloseReportsLostData;
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(ERROR_DISK_FULL, GetLastError());
  EXPECT_FALSE(file.IsOpen());
  ResetPosixCalls();

  ASSERT_TRUE(file.Open(path.c_str(), PlatformFile::Mode::kRead));
  calls->read = IoError;
  char buffer[4];
  std::size_t got = 0;
  EXPECT_FALSE(file.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());

  // The destructor closes without disturbing the error being reported.
  ResetPosixCalls();
  {
    PlatformFile other;
    ASSERT_TRUE(other.Open(path.c_str(), PlatformFile::Mode::kRead));
    calls->close = CloseReportsLostData;
    SetLastError(ERROR_CRC);
  }
  EXPECT_EQ(ERROR_CRC, GetLastError());
}

}  // namespace
