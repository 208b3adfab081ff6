#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace {

// Interrupted calls are restarted here, once for every caller, as a signal handler installed by
// the embedding program may interrupt any of them.
template <typename Call>
auto RetryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

int RealOpen(const char* path, int flags, mode_t mode) {
  return RetryOnInterrupt([&] { return ::open(path, flags, mode); });
}

// Linux releases the descriptor even when close reports EINTR; retrying could close a descriptor
// that another thread has been given meanwhile. So EINTR counts as closed.
int RealClose(int fd) {
  int result = ::close(fd);
  if (result != 0 && errno == EINTR) return 0;
  return result;
}

ssize_t RealRead(int fd, void* buffer, std::size_t count) {
  return RetryOnInterrupt([&] { return ::read(fd, buffer, count); });
}

ssize_t RealWrite(int fd, const void* buffer, std::size_t count) {
  return RetryOnInterrupt([&] { return ::write(fd, buffer, count); });
}

int RealFstat(int fd, struct stat* status) {
  return ::fstat(fd, status);
}
int RealStat(const char* path, struct stat* status) {
  return ::stat(path, status);
}
int RealLstat(const char* path, struct stat* status) {
  return ::lstat(path, status);
}
int RealMkdir(const char* path, mode_t mode) {
  return ::mkdir(path, mode);
}
int RealUnlink(const char* path) {
  return ::unlink(path);
}
int RealRename(const char* from, const char* to) {
  return ::rename(from, to);
}

int RealFsync(int fd) {
  return RetryOnInterrupt([&] { return ::fsync(fd); });
}

int RealFtruncate(int fd, off_t length) {
  return RetryOnInterrupt([&] { return ::ftruncate(fd, length); });
}

DIR* RealOpendir(const char* path) {
  return ::opendir(path);
}
struct dirent* RealReaddir(DIR* directory) {
  return ::readdir(directory);
}
int RealClosedir(DIR* directory) {
  return ::closedir(directory);
}

constexpr PosixCallTable kRealCalls = {
    .open = RealOpen,
    .close = RealClose,
    .read = RealRead,
    .write = RealWrite,
    .fstat = RealFstat,
    .stat = RealStat,
    .lstat = RealLstat,
    .mkdir = RealMkdir,
    .unlink = RealUnlink,
    .rename = RealRename,
    .fsync = RealFsync,
    .ftruncate = RealFtruncate,
    .opendir = RealOpendir,
    .readdir = RealReaddir,
    .closedir = RealClosedir,
};

PosixCallTable g_calls = kRealCalls;

}  // namespace

PosixCallTable& PosixCalls() {
  return g_calls;
}

void ResetPosixCalls() {
  g_calls = kRealCalls;
}
