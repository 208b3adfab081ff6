// errno enters the system as Windows codes; ENOENT says whether the directory on the way is there.
#include <errno.h>

#include "gtest/gtest.h"
#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

TEST(LastErrorTest, ErrnoTranslatesToWindowsCodes) {
  struct {
    int err;
    DWORD code;
  } const cases[] = {
      {ENOENT, 2},   {ENOTDIR, 3},  {EACCES, 5},  {EPERM, 5},          {EROFS, 5},
      {EISDIR, 5},   {ETXTBSY, 5},  {EMFILE, 4},  {ENFILE, 4},         {EEXIST, 80},
      {ENOSPC, 112}, {EDQUOT, 112}, {EBUSY, 32},  {ENAMETOOLONG, 206}, {EINVAL, 87},
      {ENOMEM, 8},   {EIO, 31},     {EAGAIN, 31}, {ELOOP, 31},
  };
  for (const auto& c : cases) EXPECT_EQ(c.code, ErrorFromErrno(c.err)) << "errno " << c.err;

  testing_support::TempDir dir;
  testing_support::WriteFile(dir / "file", "x");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ErrorFromErrnoForPath(ENOENT, (dir / "missing").c_str()));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, ErrorFromErrnoForPath(ENOENT, (dir / "gone/missing").c_str()));
  // A regular file where a directory should be is no directory either.
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, ErrorFromErrnoForPath(ENOENT, (dir / "file/missing").c_str()));
}

}  // namespace
