#include "program/processor_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace updater {
namespace {

// Opens the lock file, making it when missing, without following a symbolic link: a link planted
// there is replaced by a file of our own, so that it neither sends the lock (and a file made for
// it) elsewhere nor keeps every later start from locking. -1 with errno set on failure.
int OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(path.c_str(), kFlags | O_CREAT, 0644);
    if (fd >= 0 || errno != ELOOP) return fd;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  }
  errno = ELOOP;
  return -1;
}

}  // namespace

ProcessorLocks::~ProcessorLocks() {
  for (const auto& [directory, fd] : descriptors_) ::close(fd);  // closing releases the lock
}

bool ProcessorLocks::Acquire(const std::vector<const ProcessorSettings*>& processors,
                             std::string* error) {
  std::map<std::string, int> taken;
  auto fail = [&](std::string message) {
    for (const auto& [directory, fd] : taken) ::close(fd);
    *error = std::move(message);
    return false;
  };
  for (const ProcessorSettings* processor : processors) {
    std::error_code failure;
    std::filesystem::create_directories(processor->RootDir(), failure);
    if (failure) {
      return fail(processor->Name() + ": cannot make the root directory " + processor->RootDir() +
                  ": " + failure.message());
    }
    const std::string root = std::filesystem::canonical(processor->RootDir(), failure).string();
    if (failure) {
      return fail(processor->Name() + ": cannot use the root directory " + processor->RootDir() +
                  ": " + failure.message());
    }
    if (taken.count(root) || descriptors_.count(root)) continue;
    const std::string path = root + "/" + kLockFileName;
    const int fd = OpenLockFile(path);
    if (fd < 0) {
      return fail(processor->Name() + ": cannot open the lock file " + path + ": " +
                  std::strerror(errno));
    }
    int result;
    do {
      result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const int cause = errno;
      ::close(fd);
      if (cause == EWOULDBLOCK) {
        return fail(processor->Name() + ": " + root +
                    " is in use by another repository-updater (run or once); lock file " + path);
      }
      return fail(processor->Name() + ": cannot lock " + path + ": " + std::strerror(cause));
    }
    taken.emplace(root, fd);
  }
  descriptors_.merge(taken);
  return true;
}

}  // namespace updater
