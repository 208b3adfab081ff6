// Directory creation with every missing parent, over the platform's single-level
// CreateDirectoryA.
#include <string>
#include <vector>

#include "host/utility.h"
#include "platform/files.h"

namespace {

// The path without trailing separators ("/" stays "/").
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The parent of `path`, or "" when it has none (a relative single name, or the root).
std::string ParentOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || path == "/") return "";
  if (slash == 0) return "/";
  return WithoutTrailingSlashes(path.substr(0, slash));
}

bool IsDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

enum class MakeResult { kDone, kFileInTheWay, kFailed };

// Makes `path` unless a directory is already there.
MakeResult MakeOne(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return MakeResult::kDone;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return MakeResult::kFailed;
  // Made meanwhile by another thread or process, or there before.
  return IsDirectory(path) ? MakeResult::kDone : MakeResult::kFileInTheWay;
}

}  // namespace

BOOL CreateDirectoryPath(const char* path) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Walk up to the deepest part that exists, then make the missing ones top down. Only missing
  // parents make the walk go on; any other failure is the answer.
  std::vector<std::string> missing;
  std::string current = WithoutTrailingSlashes(path);
  for (;;) {
    MakeResult result = MakeOne(current);
    if (result == MakeResult::kDone) break;
    if (result == MakeResult::kFileInTheWay) {
      // A file in place of the directory asked for is refused like a file opened as a
      // directory; a file in place of a parent leaves the path without its directory.
      SetLastError(missing.empty() ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    DWORD error = GetLastError();
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return FALSE;
    std::string parent = ParentOf(current);
    if (parent.empty()) {
      SetLastError(error);
      return FALSE;
    }
    missing.push_back(std::move(current));
    current = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    MakeResult result = MakeOne(*it);
    if (result == MakeResult::kFileInTheWay) SetLastError(ERROR_PATH_NOT_FOUND);
    if (result != MakeResult::kDone) return FALSE;
  }
  return TRUE;
}
