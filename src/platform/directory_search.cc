// The directory search: FindFirstFileA reads the whole directory at once, keeps the matching
// entries sorted by name, and FindNextFileA hands them out one by one.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/kernel_objects.h"

namespace platform_internal {
namespace {

struct FoundEntry {
  std::string name;
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  std::uint64_t size = 0;
  std::int64_t modifiedTime = 0;
};

class DirectorySearch final : public KernelObject {
 public:
  explicit DirectorySearch(std::vector<FoundEntry> entries) : entries_(std::move(entries)) {}

  // False once every entry has been handed out.
  bool Next(WIN32_FIND_DATAA* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ >= entries_.size()) return false;
    const FoundEntry& entry = entries_[next_++];
    data->dwFileAttributes = entry.attributes;
    data->nFileSize = entry.size;
    data->ftLastWriteTime = entry.modifiedTime;
    std::memset(data->cFileName, 0, sizeof data->cFileName);
    entry.name.copy(data->cFileName, sizeof data->cFileName - 1);
    return true;
  }

 private:
  std::mutex mutex_;
  const std::vector<FoundEntry> entries_;
  std::size_t next_ = 0;
};

FoundEntry Describe(const std::string& directory, const struct dirent& entry) {
  FoundEntry found;
  found.name = entry.d_name;
  // Always a stat: sizes and times are needed anyway, and d_type may be DT_UNKNOWN (some file
  // systems) or DT_LNK (a link is listed as what it points to, as Windows lists reparse points).
  struct stat status;
  std::string path = directory == "/" ? "/" + found.name : directory + "/" + found.name;
  if (PosixCalls().stat(path.c_str(), &status) == 0) {
    found.attributes = AttributesFromMode(status.st_mode);
    found.size = S_ISDIR(status.st_mode) ? 0 : static_cast<std::uint64_t>(status.st_size);
    found.modifiedTime = status.st_mtime;
  } else if (entry.d_type == DT_DIR) {
    // Removed since it was read, or a dangling link: list what the directory said.
    found.attributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  return found;
}

// Reads the directory and keeps what `wildcard` matches, sorted by name. False with the last
// error set when the directory cannot be read.
bool ReadMatchingEntries(const std::string& directory, const std::string& wildcard,
                         std::vector<FoundEntry>* entries) {
  const PosixCallTable& calls = PosixCalls();
  DIR* stream = calls.opendir(directory.c_str());
  if (stream == nullptr) {
    int err = errno;
    // The pattern names a file in that directory, so a missing directory is a missing path.
    SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
    return false;
  }
  bool ok = true;
  try {
    for (;;) {
      errno = 0;
      struct dirent* entry = calls.readdir(stream);
      if (entry == nullptr) {
        if (errno != 0) {
          SetLastErrorFromErrno(errno);
          ok = false;
        }
        break;
      }
      if (WildcardMatches(wildcard, entry->d_name)) {
        entries->push_back(Describe(directory, *entry));
      }
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    ok = false;
  }
  calls.closedir(stream);
  if (!ok) return false;
  std::sort(entries->begin(), entries->end(),
            [](const FoundEntry& a, const FoundEntry& b) { return a.name < b.name; });
  return true;
}

}  // namespace
}  // namespace platform_internal

using platform_internal::DirectorySearch;

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
  if (pattern == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string_view text(pattern);
  const std::string_view::size_type slash = text.rfind('/');
  std::string directory = ".";
  std::string wildcard(text);
  if (slash != std::string_view::npos) {
    directory.assign(slash == 0 ? std::string_view("/") : text.substr(0, slash));
    wildcard.assign(text.substr(slash + 1));
  }
  if (wildcard.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  std::vector<platform_internal::FoundEntry> entries;
  if (!platform_internal::ReadMatchingEntries(directory, wildcard, &entries)) {
    return INVALID_HANDLE_VALUE;
  }
  if (entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<DirectorySearch> search;
  try {
    search = std::make_shared<DirectorySearch>(std::move(entries));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->Next(data);
  HANDLE handle = platform_internal::InsertHandle(std::move(search));
  return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
  auto search = platform_internal::LookupHandleAs<DirectorySearch>(find);
  if (search == nullptr) return FALSE;
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!search->Next(data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  return platform_internal::RemoveHandleOf<DirectorySearch>(find) ? TRUE : FALSE;
}
