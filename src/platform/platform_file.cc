#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstddef>

#include "platform/files.h"

namespace {

// Whole-file reads and writes never want to block in the open on a FIFO planted where a file
// should be, and only regular files make sense for them. O_NONBLOCK does nothing to regular files.
constexpr int kCommonFlags = O_CLOEXEC | O_NONBLOCK;

// The descriptor is always open when read or written, so EBADF can only mean the wrong
// direction: Windows refuses a write to a handle opened for reading as access denied.
void SetLastErrorFromTransfer(int err) {
  SetLastError(err == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
}

// Opens `path` for writing and empties it, or makes it anew. The open never follows a symbolic
// link, and a link or a file with further hard links is unlinked and made again: truncating it
// would write through to a file elsewhere, and refusing it would fail every later write to the
// path too. -1 with errno set on failure; a non-regular file is left to the caller's check.
int OpenForWriting(const char* path) {
  const PosixCallTable& calls = PosixCalls();
  const int flags = O_WRONLY | O_NOFOLLOW | kCommonFlags;
  int fd = calls.open(path, flags | O_CREAT, 0644);
  if (fd >= 0) {
    struct stat status;
    if (calls.fstat(fd, &status) != 0) {
      const int err = errno;
      calls.close(fd);
      errno = err;
      return -1;
    }
    if (!S_ISREG(status.st_mode)) return fd;
    if (status.st_nlink <= 1) {
      if (calls.ftruncate(fd, 0) == 0) return fd;
      const int err = errno;
      calls.close(fd);
      errno = err;
      return -1;
    }
    calls.close(fd);
  } else if (errno != ELOOP) {
    return -1;
  }
  if (calls.unlink(path) != 0 && errno != ENOENT) return -1;
  // Exclusive: whatever appears at the path meanwhile is not written through either.
  return calls.open(path, flags | O_CREAT | O_EXCL, 0644);
}

}  // namespace

PlatformFile::~PlatformFile() {
  // A destructor runs on paths that have already set the error they report; keep it.
  DWORD lastError = GetLastError();
  Close();
  SetLastError(lastError);
}

bool PlatformFile::Open(const char* path, Mode mode) {
  Close();
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const PosixCallTable& calls = PosixCalls();
  int fd =
      mode == Mode::kRead ? calls.open(path, O_RDONLY | kCommonFlags, 0) : OpenForWriting(path);
  if (fd < 0) {
    SetLastErrorFromErrnoForPath(errno, path);
    return false;
  }
  struct stat status;
  if (calls.fstat(fd, &status) != 0) {
    SetLastErrorFromErrno(errno);
    calls.close(fd);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    // A directory opens for reading on Linux; Windows refuses it as access denied.
    SetLastError(ERROR_ACCESS_DENIED);
    calls.close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool PlatformFile::Length(std::uint64_t* length) {
  if (length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (fd_ < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  struct stat status;
  if (PosixCalls().fstat(fd_, &status) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  *length = static_cast<std::uint64_t>(status.st_size);
  return true;
}

void PlatformFile::AdviseSequentialRead() {
  if (fd_ >= 0) (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

bool PlatformFile::Read(void* buffer, std::size_t count, std::size_t* got) {
  if (got == nullptr || (buffer == nullptr && count > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *got = 0;
  if (fd_ < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (count > SSIZE_MAX) count = SSIZE_MAX;
  ssize_t result = PosixCalls().read(fd_, buffer, count);
  if (result < 0) {
    SetLastErrorFromTransfer(errno);
    return false;
  }
  *got = static_cast<std::size_t>(result);
  return true;
}

bool PlatformFile::WriteAll(const void* buffer, std::size_t count) {
  if (buffer == nullptr && count > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (fd_ < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const char* data = static_cast<const char*>(buffer);
  while (count > 0) {
    std::size_t chunk = count > SSIZE_MAX ? SSIZE_MAX : count;
    ssize_t written = PosixCalls().write(fd_, data, chunk);
    if (written < 0) {
      SetLastErrorFromTransfer(errno);
      return false;
    }
    if (written == 0) {  // a regular file takes no bytes only when there is no room
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool PlatformFile::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  if (PosixCalls().close(fd) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}
