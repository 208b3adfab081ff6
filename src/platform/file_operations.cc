// Status and attribute queries, copy, delete and single-level directory creation.
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "platform/file_attributes.h"
#include "platform/files.h"

namespace {

// Large enough to keep the number of system calls low, small enough to keep two worker threads
// copying at once cheap.
constexpr std::size_t kCopyBufferSize = 256 * 1024;
constexpr int kTemporaryNameAttempts = 100;

constexpr std::string_view kTemporaryPrefix = ".copy-";
constexpr std::string_view kTemporarySuffix = ".partial";

// A name in the directory of `target` that no other copy (of this or another process) uses.
// It does not depend on the target's name, which may already be as long as a name can be.
std::string TemporaryNameBeside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::string::size_type slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return directory + std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + std::string(kTemporarySuffix);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool WriteFully(int fd, const char* data, std::size_t count) {
  const PosixCallTable& calls = PosixCalls();
  while (count > 0) {
    ssize_t written = calls.write(fd, data, count);
    if (written < 0) {
      SetLastErrorFromErrno(errno);
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

// Copies what remains of `source` into `target`.
bool CopyContent(int source, int target) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (buffer == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const PosixCallTable& calls = PosixCalls();
  for (;;) {
    ssize_t got = calls.read(source, buffer.get(), kCopyBufferSize);
    if (got < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (got == 0) return true;
    if (!WriteFully(target, buffer.get(), static_cast<std::size_t>(got))) return false;
  }
}

// Creates the temporary file, fills it from `source` and renames it over `to`. On failure the
// temporary file is gone again and the last error says why.
bool CopyThroughTemporary(int source, const struct stat& sourceStatus, const char* to) {
  const PosixCallTable& calls = PosixCalls();
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = TemporaryNameBeside(to);
    // Exclusive, so a link planted under the name is never followed: the next name is tried.
    fd = calls.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    sourceStatus.st_mode & 0777);
    if (fd < 0 && errno != EEXIST) {
      SetLastErrorFromErrnoForPath(errno, temporary.c_str());
      return false;
    }
  }
  if (fd < 0) {
    SetLastError(ERROR_FILE_EXISTS);
    return false;
  }
  DescriptorGuard target(fd);
  bool copied = CopyContent(source, target.get());
  if (copied) {
    // Windows keeps the source's last-write time on a copy. A failure here loses no data.
    struct timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
    ::futimens(target.get(), times);
    // Some file systems report a failed write-back only here.
    if (calls.close(target.release()) != 0) {
      SetLastErrorFromErrno(errno);
      copied = false;
    }
  }
  if (copied && calls.rename(temporary.c_str(), to) != 0) {
    SetLastErrorFromErrnoForPath(errno, to);
    copied = false;
  }
  if (!copied) {
    if (target.get() >= 0) calls.close(target.release());
    calls.unlink(temporary.c_str());
  }
  return copied;
}

}  // namespace

BOOL GetFileStatus(const char* path, FileStatus* status) {
  if (path == nullptr || status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat info;
  if (PosixCalls().stat(path, &info) != 0) {
    SetLastErrorFromErrnoForPath(errno, path);
    return FALSE;
  }
  status->modifiedTime = info.st_mtime;
  status->size = S_ISDIR(info.st_mode) ? 0 : static_cast<std::uint64_t>(info.st_size);
  status->attributes = platform_internal::AttributesFromMode(info.st_mode);
  return TRUE;
}

DWORD GetFileAttributesA(const char* path) {
  FileStatus status;
  if (!GetFileStatus(path, &status)) return INVALID_FILE_ATTRIBUTES;
  return status.attributes;
}

BOOL CopyFileA(const char* from, const char* to, BOOL failIfExists) {
  if (from == nullptr || to == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const PosixCallTable& calls = PosixCalls();
  // Non-blocking, so that a FIFO planted as the source cannot hang the open; it is refused below.
  DescriptorGuard source(calls.open(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (source.get() < 0) {
    SetLastErrorFromErrnoForPath(errno, from);
    return FALSE;
  }
  struct stat sourceStatus;
  if (calls.fstat(source.get(), &sourceStatus) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  if (!S_ISREG(sourceStatus.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

  // lstat: a symbolic link at the target is the rename's to replace, whatever it points at.
  struct stat targetStatus;
  if (calls.lstat(to, &targetStatus) == 0) {
    // The rename would fail on a directory too, but only after the whole copy.
    if (S_ISDIR(targetStatus.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (failIfExists) {
      SetLastError(ERROR_FILE_EXISTS);
      return FALSE;
    }
  } else if (errno != ENOENT) {
    SetLastErrorFromErrnoForPath(errno, to);
    return FALSE;
  }
  return CopyThroughTemporary(source.get(), sourceStatus, to) ? TRUE : FALSE;
}

bool IsCopyTemporaryName(std::string_view name) {
  return name.size() > kTemporaryPrefix.size() + kTemporarySuffix.size() &&
         EqualIgnoringCase(name.substr(0, kTemporaryPrefix.size()), kTemporaryPrefix) &&
         EqualIgnoringCase(name.substr(name.size() - kTemporarySuffix.size()), kTemporarySuffix);
}

BOOL DeleteFileA(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Linux refuses to unlink a directory with EISDIR, which is Windows' access denied.
  if (PosixCalls().unlink(path) != 0) {
    SetLastErrorFromErrnoForPath(errno, path);
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileExA(const char* from, const char* to, DWORD flags) {
  if (from == nullptr || to == nullptr || (flags & ~MOVEFILE_REPLACE_EXISTING) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const PosixCallTable& calls = PosixCalls();
  struct stat targetStatus;
  if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && calls.stat(to, &targetStatus) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (calls.rename(from, to) != 0) {
    // rename(2) reports a directory in the way as EISDIR, which maps onto access denied; EXDEV
    // (another file system) has no closer Windows code than a general failure.
    SetLastErrorFromErrnoForPath(errno, from);
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(const char* path, void* security) {
  (void)security;
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (PosixCalls().mkdir(path, 0777) != 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(ERROR_ALREADY_EXISTS);
    } else if (err == ENOENT) {  // mkdir's ENOENT always means the parent is missing
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetLastErrorFromErrno(err);
    }
    return FALSE;
  }
  return TRUE;
}
