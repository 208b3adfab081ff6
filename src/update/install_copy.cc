#include "update/install_copy.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/files.h"

namespace {

constexpr std::size_t kCompareBlock = 32 * 1024;

// Reads `count` bytes unless the file ends or fails first; the number read.
std::size_t ReadFull(int fd, char* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = PosixCalls().read(fd, buffer + done, count - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool SameMetadata(const struct stat& source, const struct stat& target) {
  return S_ISREG(source.st_mode) && S_ISREG(target.st_mode) && target.st_nlink == 1 &&
         source.st_size == target.st_size && (source.st_mode & 07777) == (target.st_mode & 07777) &&
         source.st_mtim.tv_sec == target.st_mtim.tv_sec &&
         source.st_mtim.tv_nsec == target.st_mtim.tv_nsec;
}

}  // namespace

bool CopyWouldChangeNothing(const std::string& source, const std::string& target) {
  const PosixCallTable& calls = PosixCalls();
  // O_NOFOLLOW: a symbolic link at the target fails to open (ELOOP) and so is copied over.
  // O_NONBLOCK: a FIFO planted at either name cannot hold the open; it is no regular file.
  DescriptorGuard to(calls.open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0));
  if (to.get() < 0) return false;
  DescriptorGuard from(calls.open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (from.get() < 0) return false;
  struct stat sourceStatus;
  struct stat targetStatus;
  if (calls.fstat(from.get(), &sourceStatus) != 0 || calls.fstat(to.get(), &targetStatus) != 0 ||
      !SameMetadata(sourceStatus, targetStatus)) {
    return false;
  }
  std::unique_ptr<char[]> buffers(new (std::nothrow) char[2 * kCompareBlock]);
  if (buffers == nullptr) return false;
  char* const a = buffers.get();
  char* const b = a + kCompareBlock;
  auto left = static_cast<std::uint64_t>(sourceStatus.st_size);
  while (left > 0) {
    const std::size_t want = left < kCompareBlock ? static_cast<std::size_t>(left) : kCompareBlock;
    if (ReadFull(from.get(), a, want) != want || ReadFull(to.get(), b, want) != want ||
        std::memcmp(a, b, want) != 0) {
      return false;
    }
    left -= want;
  }
  return true;
}
