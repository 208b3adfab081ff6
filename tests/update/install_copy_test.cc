// The installation leaves alone a file that a copy would not change, and only such a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "support/fresh_store.h"
#include "support/temp_dir.h"
#include "update/install_copy.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

class InstallCopyTest : public ::testing::Test {
 protected:
  InstallCopyTest() {
    WriteFile(source_, std::string(100000, 'd') + "tail");
    EXPECT_TRUE(CopyFileA(source_.c_str(), target_.c_str(), FALSE));
  }

  // Gives `path` the last-write time of the source, as a copy does.
  void TakeSourceTime(const std::string& path) {
    struct stat status {};
    ASSERT_EQ(::stat(source_.c_str(), &status), 0);
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  TempDir dir_;
  const std::string source_ = dir_ / "backup.dat";
  const std::string target_ = dir_ / "definitions.dat";
};

TEST_F(InstallCopyTest, AFreshCopyNeedsNoOther) {
  EXPECT_TRUE(CopyWouldChangeNothing(source_, target_));
}

TEST_F(InstallCopyTest, AlteredBytesAreCopiedOverEvenBehindTheSameSizeAndTime) {
  // The change a tamperer would make: the last byte, with size and time put back.
  WriteFile(target_, std::string(100000, 'd') + "tai!");
  TakeSourceTime(target_);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_));
}

TEST_F(InstallCopyTest, AnyDifferenceInWhatACopyKeepsMeansCopying) {
  ASSERT_EQ(::chmod(target_.c_str(), 0600), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "permission bits";
  ASSERT_EQ(::chmod(target_.c_str(), 0644), 0);
  ASSERT_TRUE(CopyWouldChangeNothing(source_, target_));

  const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, target_.c_str(), times, 0), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "last-write time";

  WriteFile(target_, std::string(100000, 'd') + "tail and more");
  TakeSourceTime(target_);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "size";
}

TEST_F(InstallCopyTest, ALinkAtTheTargetIsReplacedByACopy) {
  // A copy renames a new file over the name: it ends a symbolic link and a hard link, through
  // which the file could otherwise be changed later behind the installation's back.
  const std::string other = dir_ / "elsewhere.dat";
  ASSERT_EQ(::rename(target_.c_str(), other.c_str()), 0);
  ASSERT_EQ(::symlink(other.c_str(), target_.c_str()), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "symbolic link";

  ASSERT_EQ(::unlink(target_.c_str()), 0);
  ASSERT_EQ(::link(other.c_str(), target_.c_str()), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "hard link";
  ASSERT_EQ(::unlink(other.c_str()), 0);
  EXPECT_TRUE(CopyWouldChangeNothing(source_, target_)) << "the last name of the file";
}

TEST_F(InstallCopyTest, WhatCannotBeComparedIsCopied) {
  EXPECT_FALSE(CopyWouldChangeNothing(source_, dir_ / "missing.dat"));
  EXPECT_FALSE(CopyWouldChangeNothing(dir_ / "missing.dat", target_));

  ASSERT_EQ(::unlink(target_.c_str()), 0);
  ASSERT_EQ(::mkfifo(target_.c_str(), 0644), 0);  // must not block the open
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_));

  // A read that fails half-way leaves the doubt with the copy.
  ASSERT_EQ(::unlink(target_.c_str()), 0);
  ASSERT_TRUE(CopyFileA(source_.c_str(), target_.c_str(), FALSE));
  PosixCalls().read = [](int, void*, std::size_t) -> ssize_t {
    errno = EIO;
    return -1;
  };
  const bool same = CopyWouldChangeNothing(source_, target_);
  ResetPosixCalls();
  EXPECT_FALSE(same);
}

ino_t Inode(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// Through the installation: a second one replaces only the file that no longer is a copy.
TEST(InstallFilesTest, ReplacesOnlyWhatDiffersFromTheBackup) {
  TempDir dir;
  FreshPropertyStore store{dir.path()};
  TestConfig config("AntiVirus", dir / "root");
  TestSlot slot(config);
  LocalTransport run(slot.get(), dir / "server");
  ASSERT_TRUE(run.PrepareDirectories());
  WriteFile(config.backupDir() + "/kept.dat", "kept");
  WriteFile(config.backupDir() + "/altered.dat", "as downloaded");
  MakeDirectories(config.definitionsDir());
  ASSERT_TRUE(run.InstallFiles());
  const std::string kept = config.definitionsDir() + "/kept.dat";
  const std::string altered = config.definitionsDir() + "/altered.dat";
  const ino_t keptInode = Inode(kept);
  WriteFile(altered, "tampered with");

  ASSERT_TRUE(run.InstallFiles());
  EXPECT_EQ(Inode(kept), keptInode) << "an unchanged copy is not made again";
  EXPECT_EQ(ReadFile(altered), "as downloaded");
}

}  // namespace
