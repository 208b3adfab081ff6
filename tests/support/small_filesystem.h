// A small tmpfs mounted over a directory for one test, to run a program out of disk space at a
// chosen step and give the space back afterwards. Mounting needs CAP_SYS_ADMIN (CI runs as root).
//
// The filler that takes the space lives at the top of the mount; put the directories under test
// below it (root/spool/backup with the mount at root/spool), so that the filler is never one of
// their entries.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_SMALL_FILESYSTEM_H_
#define FILEREPOSITORY_TESTS_SUPPORT_SMALL_FILESYSTEM_H_

#include <cstdint>
#include <string>

namespace testing_support {

class SmallFilesystem {
 public:
  // Empty when a tmpfs can be mounted here; otherwise why not (for GTEST_SKIP).
  static std::string Unavailable();

  // Makes `directory` (and its parents) and mounts a tmpfs of `bytes` (rounded up to pages) on
  // it. Throws std::runtime_error when the mount fails.
  SmallFilesystem(const std::string& directory, std::uint64_t bytes);
  // Detaches the mount; whatever is still written on it goes with it.
  ~SmallFilesystem();
  SmallFilesystem(const SmallFilesystem&) = delete;
  SmallFilesystem& operator=(const SmallFilesystem&) = delete;

  // Takes the free space with a filler file until no more than `leave` bytes (rounded up to a
  // page) are free.
  void Fill(std::uint64_t leave = 0);
  // Removes the filler: the space it took is free again.
  void Free();
  // Mounts it read-only, or writable again.
  void ReadOnly(bool on);

 private:
  std::string directory_;
  std::string filler_;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_SMALL_FILESYSTEM_H_
