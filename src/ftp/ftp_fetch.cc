// The FTP transport's download of one definition file.
#include <string>

#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "resources/messages.h"
#include "service/update_slot.h"
#include "update/local_paths.h"

BOOL CFtpUpdates::FetchFile(const std::string& name) {
  const UpdateConfig& config = Config();
  const std::string shownName = m_strRemoteDir + "/" + name;
  if (!IsFetchableName(name)) {
    // A name that could write outside the backup directory is never written anywhere.
    SetLastError(ERROR_INVALID_NAME);
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {shownName}),
                                   FormatErrorCode(ERROR_INVALID_NAME)});
    return FALSE;
  }
  const std::string localPath = JoinLocalPath(m_strBackupDir, name);

  std::string working = name;
  std::uint64_t size = 0;
  BYTE* buffer = nullptr;
  DWORD attempts = 0;
  for (;;) {
    if (!FindRemoteFile(working, size)) return FALSE;
    CInternetFile* file = OpenRemoteFile(working);
    if (file == nullptr) return FALSE;
    DownloadDigest digest;
    file->SetObserver(DownloadObserver(digest));
    const BOOL ok = AcceptsFileSize(size, false, shownName) && ReadRemoteFile(file, size, &buffer);
    CloseRemoteFile(file);
    if (ok && MatchesTriggerData(name, buffer, size, digest)) break;
    if (buffer != nullptr) {
      CMemoryDebugging::TraceDeallocate(buffer);
      buffer = nullptr;
    }
    const DWORD cause = GetLastError();
    // A service that is stopping must not sit through further attempts, so a stop ends them as
    // the last permitted attempt would.
    const bool stopping = WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
    if (attempts >= config.downloadRetries || stopping) {
      const std::string detail = FormatErrorCode(cause);
      LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {shownName}), detail});
      return FALSE;
    }
    ++attempts;
  }

  return WriteFetchedFile(buffer, size, localPath);
}

BOOL CFtpUpdates::FetchSigningFile(const std::string& name, std::uint64_t limit,
                                   std::string& content) {
  std::string listed = name;
  std::uint64_t size = 0;
  if (!LookUpRemoteFile(listed, size)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (size > limit) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  CInternetFile* file = nullptr;
  try {
    if (m_pFtpConnection == nullptr) {
      throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }
    file = m_pFtpConnection->OpenFile(listed.c_str(), GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 2);
  } catch (const CInternetException& exception) {
    SetLastError(exception.m_dwError);
    return FALSE;
  }
  BYTE* buffer = nullptr;
  const BOOL read = ReadRemoteFile(file, size, &buffer);
  CloseRemoteFile(file);
  if (!read) return FALSE;
  content.assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
  CMemoryDebugging::TraceDeallocate(buffer);
  return TRUE;
}
