#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "scoped_posix_calls.h"
#include "support/temp_dir.h"

namespace {

using testing_support::FileExists;
using testing_support::MakeDirectories;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

int EntryCount(const std::string& directory) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    (void)entry;
    ++count;
  }
  return count;
}

// Bytes that no two offsets share within a copy buffer, so a chunk written twice or skipped
// shows in the comparison.
std::string PatternedBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST(FileStatusTest, FilesDirectoriesAndMissingPaths) {
  TempDir dir;
  WriteFile(dir / "file", "12345");
  MakeDirectories(dir / "sub");
  WriteFile(dir / "readonly", "");
  chmod((dir / "readonly").c_str(), 0444);

  FileStatus status;
  ASSERT_TRUE(GetFileStatus((dir / "file").c_str(), &status));
  EXPECT_EQ(5u, status.size);
  EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, status.attributes);

  ASSERT_TRUE(GetFileStatus((dir / "sub").c_str(), &status));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, status.attributes);
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA((dir / "sub").c_str()));
  EXPECT_EQ(FILE_ATTRIBUTE_READONLY, GetFileAttributesA((dir / "readonly").c_str()));

  EXPECT_FALSE(GetFileStatus((dir / "missing").c_str(), &status));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((dir / "gone/missing").c_str()));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((dir / "file/below").c_str()));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST(CopyFileTest, OverwritesExactlyAndKeepsTheModificationTime) {
  TempDir dir;
  std::string content = PatternedBytes(3 * 256 * 1024 + 17);  // several buffers and a tail
  WriteFile(dir / "from", content);
  WriteFile(dir / "to", std::string(4 * 256 * 1024, 'x'));  // longer than the new content
  struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  utimensat(AT_FDCWD, (dir / "from").c_str(), times, 0);

  ASSERT_TRUE(CopyFileA((dir / "from").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_TRUE(ReadFile(dir / "to") == content);
  FileStatus status;
  ASSERT_TRUE(GetFileStatus((dir / "to").c_str(), &status));
  EXPECT_EQ(1234567890, status.modifiedTime);
  EXPECT_EQ(2, EntryCount(dir.path()));  // no temporary file left beside the target

  WriteFile(dir / "empty", "");
  ASSERT_TRUE(CopyFileA((dir / "empty").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_EQ("", ReadFile(dir / "to"));
}

TEST(CopyFileTest, RefusalsLeaveTheTargetAlone) {
  TempDir dir;
  WriteFile(dir / "from", "new");
  WriteFile(dir / "to", "old");
  MakeDirectories(dir / "subdir");
  WriteFile(dir / "subdir/inside", "kept");

  EXPECT_FALSE(CopyFileA((dir / "from").c_str(), (dir / "to").c_str(), TRUE));
  EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());
  EXPECT_EQ("old", ReadFile(dir / "to"));

  EXPECT_FALSE(CopyFileA((dir / "subdir").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ("old", ReadFile(dir / "to"));

  // A directory standing where the copy goes.
  EXPECT_FALSE(CopyFileA((dir / "from").c_str(), (dir / "subdir").c_str(), FALSE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ("kept", ReadFile(dir / "subdir/inside"));

  EXPECT_FALSE(CopyFileA((dir / "missing").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(CopyFileA((dir / "from").c_str(), (dir / "gone/to").c_str(), FALSE));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());

  EXPECT_EQ(3, EntryCount(dir.path()));
}

// The Nth write of the copy fails with a chosen errno.
int g_writesLeft = 0;
int g_writeErrno = 0;
ssize_t FailingWrite(int fd, const void* buffer, std::size_t count) {
  if (g_writesLeft-- <= 0) {
    errno = g_writeErrno;
    return -1;
  }
  return ::write(fd, buffer, count);
}
int FailingRename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

TEST(CopyFileTest, FailuresMidCopyKeepTheOldTargetAndLeaveNoTemporaryFile) {
  TempDir dir;
  WriteFile(dir / "from", PatternedBytes(1024 * 1024));
  WriteFile(dir / "to", "old");
  ScopedPosixCalls calls;

  calls->write = FailingWrite;
  g_writesLeft = 1;
  g_writeErrno = ENOSPC;
  EXPECT_FALSE(CopyFileA((dir / "from").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_EQ(ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ("old", ReadFile(dir / "to"));
  EXPECT_EQ(2, EntryCount(dir.path()));

  ResetPosixCalls();
  calls->rename = FailingRename;
  EXPECT_FALSE(CopyFileA((dir / "from").c_str(), (dir / "to").c_str(), FALSE));
  EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());
  EXPECT_EQ("old", ReadFile(dir / "to"));
  EXPECT_EQ(2, EntryCount(dir.path()));
}

TEST(DeleteFileTest, RemovesFilesOnly) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  MakeDirectories(dir / "sub");
  ASSERT_TRUE(DeleteFileA((dir / "file").c_str()));
  EXPECT_FALSE(DeleteFileA((dir / "file").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(DeleteFileA((dir / "gone/file").c_str()));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_FALSE(DeleteFileA((dir / "sub").c_str()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(FileExists(dir / "sub"));
}

TEST(CreateDirectoryTest, MakesOneLevel) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_TRUE(CreateDirectoryA((dir / "new").c_str(), nullptr));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA((dir / "new").c_str()));
  EXPECT_FALSE(CreateDirectoryA((dir / "new").c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_FALSE(CreateDirectoryA((dir / "file").c_str(), nullptr));
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_FALSE(CreateDirectoryA((dir / "a/b").c_str(), nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_FALSE(CreateDirectoryA((dir / "file/b").c_str(), nullptr));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

}  // namespace
