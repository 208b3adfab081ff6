#include "integrity/file_helpers.h"

#include <cstdint>

#include "host/utility.h"
#include "platform/files.h"

namespace {

constexpr char kAllocationTag[] = "FileHelpers";

// Releases the caller's buffer and leaves its pointer null, never dangling.
void ReleaseBuffer(BYTE** buffer) {
  CMemoryDebugging::TraceDeallocate(*buffer);
  *buffer = nullptr;
}

}  // namespace

BOOL ReadFileIntoBuffer(const char* path, BYTE** buffer, DWORD* length) {
  if (path == nullptr || buffer == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows would open with deny-write sharing here; Linux has no such mode, so a writer that is
  // busy with the file meanwhile can make the read come up short, which fails below.
  PlatformFile file;
  if (!file.Open(path, PlatformFile::Mode::kRead)) return FALSE;
  std::uint64_t fileLength = 0;
  if (!file.Length(&fileLength)) return FALSE;
  if (fileLength > 0xFFFFFFFFu) return FALSE;

  *length = static_cast<DWORD>(fileLength);
  ReleaseBuffer(buffer);
  *buffer = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(static_cast<std::size_t>(fileLength),
                                                               kAllocationTag, __LINE__));
  if (*buffer == nullptr) return FALSE;

  std::size_t done = 0;
  while (done < fileLength) {
    std::size_t got = 0;
    if (!file.Read(*buffer + done, static_cast<std::size_t>(fileLength) - done, &got) || got == 0) {
      ReleaseBuffer(buffer);
      return FALSE;
    }
    done += got;
  }
  // A close error after a complete read loses nothing that was read.
  file.Close();
  return TRUE;
}

BOOL WriteBufferToFile(const void* data, DWORD lengthLow, DWORD lengthHigh, const char* path) {
  if (path == nullptr || (data == nullptr && (lengthLow != 0 || lengthHigh != 0))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PlatformFile file;
  if (!file.Open(path, PlatformFile::Mode::kCreateWrite)) return FALSE;
  if (lengthHigh != 0) {
    // The file has been created or truncated already and stays so, empty.
    file.Close();
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!file.WriteAll(data, lengthLow)) {
    DWORD reason = GetLastError();
    file.Close();
    SetLastError(reason);
    return FALSE;
  }
  // Delayed write errors (disk full, quota) can surface only here.
  return file.Close() ? TRUE : FALSE;
}
