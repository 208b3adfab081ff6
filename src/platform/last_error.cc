#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/win32.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// True when the directory that would hold `path` exists. A path without a separator lives in the
// working directory, which exists as far as the caller is concerned.
bool ParentDirectoryExists(const char* path) {
  std::string parent(path);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  std::string::size_type slash = parent.rfind('/');
  if (slash == std::string::npos) return true;
  parent.resize(slash == 0 ? 1 : slash);
  struct stat status;
  return ::stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

DWORD GetLastError() {
  return t_lastError;
}

void SetLastError(DWORD code) {
  t_lastError = code;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD ErrorFromErrnoForPath(int err, const char* path) {
  if (err != ENOENT || path == nullptr) return ErrorFromErrno(err);
  // Windows tells a missing file (2) from a missing directory on the way to it (3); POSIX
  // reports ENOENT for both.
  if (*path == '\0' || !ParentDirectoryExists(path)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

DWORD SetLastErrorFromErrno(int err) {
  DWORD code = ErrorFromErrno(err);
  SetLastError(code);
  return code;
}

DWORD SetLastErrorFromErrnoForPath(int err, const char* path) {
  DWORD code = ErrorFromErrnoForPath(err, path);
  SetLastError(code);
  return code;
}
