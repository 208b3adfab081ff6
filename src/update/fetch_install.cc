// Fetching the chosen files into the backup directory, installing the backup directory into the
// definitions directory, and dropping the trigger file for the engine.
#include <strings.h>

#include <string>

#include "host/utility.h"
#include "integrity/crc32.h"
#include "integrity/file_helpers.h"
#include "integrity/sha256.h"
#include "platform/files.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/install_copy.h"
#include "update/local_paths.h"
#include "update/own_names.h"
#include "update/repository_updates.h"

namespace {

constexpr std::size_t kFetchedNamesLimit = 5000;
// The failed files of one cycle whose entries are written; the rest are counted in one summary
// entry. A server that lists thousands of files it does not have must not flood the log.
constexpr DWORD kLoggedFailures = 100;

}  // namespace

bool CRepositoryUpdates::DownloadDigest::DigestOf(std::uint64_t size,
                                                  integrity::Sha256Digest* digest) {
  return hasher_.length() == size && hasher_.Finish(digest);
}

InternetFileObserver* CRepositoryUpdates::DownloadObserver(DownloadDigest& digest) const {
  return m_pVerified != nullptr ? &digest : nullptr;
}

BOOL CRepositoryUpdates::MatchesTriggerData(const std::string& name, const BYTE* buffer,
                                            std::uint64_t size, DownloadDigest& received) {
  DWORD expected = 0;
  if (m_triggerData.Lookup(name, expected) &&
      GetBufferCrc(buffer, static_cast<DWORD>(size), static_cast<DWORD>(size >> 32)) != expected) {
    SetLastError(ERROR_CRC);
    return FALSE;
  }
  if (m_pVerified != nullptr) {
    // Verified mode: the manifest's SHA-256 too. A mismatch fails the attempt as a CRC mismatch
    // does; the entry that says why is written once for a file, not once for each attempt.
    // Taken while the bytes arrived; hashed here only when that digest is not of exactly them.
    integrity::Sha256Digest digest;
    if (!received.DigestOf(size, &digest)) digest = integrity::Sha256OfBuffer(buffer, size);
    const integrity::Outcome outcome = m_pVerified->manifest.Check(name, digest);
    if (!outcome.ok()) {
      if (name != m_lastDigestMismatch) {
        m_lastDigestMismatch = name;
        LogError(Config().errorEventId,
                 {FormatMessageId(IDS_UPDATING_FILE, {m_strRemoteDir + "/" + name}),
                  std::string(integrity::VerdictName(outcome.verdict)) + ": " + outcome.detail});
      }
      SetLastError(ERROR_CRC);
      return FALSE;
    }
  }
  return TRUE;
}

BOOL CRepositoryUpdates::WriteFetchedFile(BYTE* buffer, std::uint64_t size,
                                          const std::string& localPath) {
  const BOOL written = WriteBufferToFile(buffer, static_cast<DWORD>(size),
                                         static_cast<DWORD>(size >> 32), localPath.c_str());
  const DWORD cause = GetLastError();
  CMemoryDebugging::TraceDeallocate(buffer);
  if (written && m_pVerified != nullptr) RememberVerifiedWrite(localPath);
  if (!written) {
    LogError(Config().errorEventId,
             {FormatMessageId(IDS_FAILED_TO_WRITE_FILE, {localPath}), std::to_string(cause)});
  }
  return written;
}

BOOL CRepositoryUpdates::FetchFiles(CStringList& list) {
  const UpdateConfig& config = Config();
  std::string lastRemotePath;
  DWORD failures = 0;
  bool stopped = false;
  std::size_t fetchedCount = 0;
  std::string fetchedNames;  // joined with ", ", kept only as far as the entry shows it

  while (!list.empty()) {
    if (WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0) {
      LogError(config.errorEventId,
               {FormatMessageId(IDS_UPDATING_FILE, {lastRemotePath}),
                FormatMessageId(IDS_SERVICE_SHUTTING_DOWN, {static_cast<long long>(list.size())})});
      stopped = true;
      break;
    }
    const std::string name = list.front();
    lastRemotePath = m_strRemoteDir + "\\" + name;
    m_bQuietErrors = failures >= kLoggedFailures;
    const BOOL fetched = FetchFile(name);
    m_bQuietErrors = false;
    if (fetched) {
      if (fetchedNames.size() <= kFetchedNamesLimit) {
        if (fetchedCount != 0) fetchedNames += ", ";
        fetchedNames += name;
      }
      ++fetchedCount;
    } else {
      ++failures;
    }
    list.pop_front();
  }

  if (failures > kLoggedFailures) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_UPDATING_DEFINITION_FILES, {TextOrEmpty(config.displayName)}),
              std::to_string(failures) + " files could not be updated; the entries of the first " +
                  std::to_string(kLoggedFailures) + " are written, the others left out."});
  }
  if (fetchedCount != 0) {
    if (fetchedNames.size() > kFetchedNamesLimit) fetchedNames.resize(kFetchedNamesLimit);
    LogOperation(
        config.operationEventId,
        {FormatMessageId(IDS_UPDATING_DEFINITION_FILES, {TextOrEmpty(config.displayName)}),
         FormatMessageId(IDS_UPDATED_FILES, {static_cast<long long>(fetchedCount), fetchedNames})});
  }
  return failures == 0 && !stopped ? TRUE : FALSE;
}

BOOL CRepositoryUpdates::InstallFiles() {
  const UpdateConfig& config = Config();
  const char* triggerName = TextOrEmpty(config.triggerFileName);

  // The trigger file in the definitions directory is the engine's signal. Withdraw it while the
  // set changes, and never copy the old one across from the backup directory: the engine must
  // not be signalled before every file of the new set is in place (WriteTriggerFiles signals).
  DeleteFileA(JoinLocalPath(m_strDefinitionsDir, triggerName).c_str());

  CStringList names;
  ListFiles(m_strBackupDir, "*", names);
  DWORD failures = 0;
  for (const std::string& name : names) {
    if (name == "." || name == "..") continue;
    if (strcasecmp(name.c_str(), triggerName) == 0) continue;
    // A file of the updater's own (a pending file, a temporary file) is never installed, even
    // if the backup directory holds one: the engine would take it for the state of the update.
    if (IsOwnFileName(name, config)) continue;
    const std::string source = JoinLocalPath(m_strBackupDir, name);
    const std::string target = JoinLocalPath(m_strDefinitionsDir, name);
    if (CopyWouldChangeNothing(source, target)) continue;
    if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
      const std::string detail = std::to_string(GetLastError());
      LogError(
          config.errorEventId,
          {FormatMessageId(IDS_COPY_FILE_TO_DIRECTORY, {source, m_strDefinitionsDir}), detail});
      ++failures;
    }
  }
  return failures == 0 ? TRUE : FALSE;
}

BOOL CRepositoryUpdates::WriteTriggerFiles() {
  const UpdateConfig& config = Config();
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  const DWORD low = static_cast<DWORD>(m_nRemoteTriggerFileSize & 0xFFFFFFFFu);
  const DWORD high = static_cast<DWORD>(m_nRemoteTriggerFileSize >> 32);

  // The engine takes the trigger file as its signal as soon as it appears, so it must appear
  // whole: it is written under a temporary name beside its place and renamed into it. A write
  // that fails half-way (a full disk, a killed process) leaves no trigger file, never a part.
  const std::string enginePath = JoinLocalPath(m_strDefinitionsDir, triggerName);
  const std::string stagingPath =
      JoinLocalPath(m_strDefinitionsDir, TriggerStagingName(triggerName));
  if (!WriteBufferToFile(m_pRemoteTriggerFile, low, high, stagingPath.c_str()) ||
      !MoveFileExA(stagingPath.c_str(), enginePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const std::string detail = std::to_string(GetLastError());
    DeleteFileA(stagingPath.c_str());
    // The engine is not signalled, so the set is not installed: the reference copy in the backup
    // directory stays as it was, and the next cycle takes the server's set for new again and
    // installs and signals it then.
    LogError(config.errorEventId,
             {FormatMessageId(IDS_FAILED_TO_WRITE_FILE, {enginePath}), detail});
    return FALSE;
  }
  FileStatus status;
  if (GetFileStatus(enginePath.c_str(), &status)) {
    SetDwordProperty(m_mailServer, config.processorName, config.triggerFileTimeProperty,
                     static_cast<DWORD>(status.modifiedTime));
  }
  // Written last: the reference for the next comparison only changes once the set is installed.
  WriteBufferToFile(m_pRemoteTriggerFile, low, high,
                    JoinLocalPath(m_strBackupDir, triggerName).c_str());
  return TRUE;
}

DWORD CRepositoryUpdates::ListFiles(const std::string& directory, const std::string& extensions,
                                    CStringList& list) {
  DWORD count = 0;
  for (const std::string& piece : SplitExtensions(extensions)) {
    const std::string pattern = JoinLocalPath(directory, "*." + piece);
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      list.push_back(data.cFileName);
      ++count;
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  return count;
}
