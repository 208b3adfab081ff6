// The installation may leave a file alone only when a copy would change nothing: the same size
// and time do not prove the same bytes, and a link, a fifo or other permissions at the target are
// never a copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "support/temp_dir.h"
#include "update/install_copy.h"

namespace {

using namespace testing_support;

class InstallCopyTest : public ::testing::Test {
 protected:
  InstallCopyTest() {
    WriteFile(source_, std::string(100000, 'd') + "tail");
    EXPECT_TRUE(CopyFileA(source_.c_str(), target_.c_str(), FALSE));
  }

  TempDir dir_;
  const std::string source_ = dir_ / "backup.dat";
  const std::string target_ = dir_ / "definitions.dat";
};

TEST_F(InstallCopyTest, AlteredBytesAreCopiedOverEvenBehindTheSameSizeAndTime) {
  EXPECT_TRUE(CopyWouldChangeNothing(source_, target_));

  // The change a tamperer would make: the last byte, with size and time put back.
  WriteFile(target_, std::string(100000, 'd') + "tai!");
  struct stat status {};
  ASSERT_EQ(::stat(source_.c_str(), &status), 0);
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, target_.c_str(), times, 0), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_));
}

TEST_F(InstallCopyTest, ALinkOrAFifoAtTheTargetIsReplacedByACopy) {
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
  ASSERT_EQ(::chmod(target_.c_str(), 0), 0);
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_)) << "a mode the engine cannot read";

  ASSERT_EQ(::unlink(target_.c_str()), 0);
  ASSERT_EQ(::mkfifo(target_.c_str(), 0644), 0);  // must not block the open
  EXPECT_FALSE(CopyWouldChangeNothing(source_, target_));
}

}  // namespace
