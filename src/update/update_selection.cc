// The choice of files: whether the server announces a new set, whether the engine absorbed the
// last one, and which files must be downloaded.
#include <strings.h>

#include <string>

#include "host/utility.h"
#include "integrity/crc32.h"
#include "integrity/file_helpers.h"
#include "platform/files.h"
#include "resources/messages.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/repository_updates.h"

namespace {

DWORD LowHalf(std::uint64_t size) {
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}
DWORD HighHalf(std::uint64_t size) {
  return static_cast<DWORD>(size >> 32);
}

// More names than any definitions set holds. A trigger file that announces more is refused as
// invalid before it is taken in: every name would cost memory, a download attempt and, when the
// server does not have the file, a log entry.
constexpr std::uint64_t kMostTriggerFileEntries = 100000;

}  // namespace

BOOL CRepositoryUpdates::CheckForUpdates() {
  const std::string path = JoinLocalPath(m_strBackupDir, TextOrEmpty(Config().triggerFileName));
  if (!ReadFileIntoBuffer(path.c_str(), &m_pLocalTriggerFile, &m_nLocalTriggerFileSize)) {
    return TRUE;
  }
  const DWORD remote = GetBufferCrc(m_pRemoteTriggerFile, LowHalf(m_nRemoteTriggerFileSize),
                                    HighHalf(m_nRemoteTriggerFileSize));
  const DWORD local = GetBufferCrc(m_pLocalTriggerFile, m_nLocalTriggerFileSize, 0);
  return remote != local ? TRUE : FALSE;
}

bool CRepositoryUpdates::ParseServerTriggerFile() {
  return CountChecksumListEntries(m_pRemoteTriggerFile, m_nRemoteTriggerFileSize) <=
             kMostTriggerFileEntries &&
         m_triggerData.Parse(m_pRemoteTriggerFile, m_nRemoteTriggerFileSize);
}

bool CRepositoryUpdates::PendingFilePresent() const {
  const UpdateConfig& config = Config();
  FileStatus status;
  return GetFileStatus(
             JoinLocalPath(m_strDefinitionsDir, TextOrEmpty(config.pendingFileName)).c_str(),
             &status) != FALSE;
}

void CRepositoryUpdates::ChooseFiles(const CTriggerFileData& local, CStringList& list) {
  const char* triggerName = TextOrEmpty(Config().triggerFileName);
  for (const auto& [name, value] : m_triggerData) {
    if (strcasecmp(name.c_str(), triggerName) == 0) continue;
    DWORD localValue = 0;
    bool fetch = local.IsEmpty() || !local.Lookup(name, localValue) || localValue != value ||
                 !IsFetchableName(name);  // refused later by FetchFile, so the cycle fails
    if (!fetch) {
      const std::string path = JoinLocalPath(m_strBackupDir, name);
      fetch = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ||
              GetFileCrc(path.c_str()) != value || !BackupCopyVerifies(name);
    }
    if (fetch) list.push_back(name);
  }
}

BOOL CRepositoryUpdates::GetFilesToUpdate(CStringList& list) {
  const UpdateConfig& config = Config();
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  if (m_pRemoteTriggerFile == nullptr) return FALSE;

  if (!ParseServerTriggerFile()) {
    SetLastError(ERROR_INVALID_DATA);
    const std::string detail = std::to_string(GetLastError());
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {triggerName}), detail});
    return FALSE;
  }

  const BOOL absorbed = IsUpdateAbsorbed();
  if (!absorbed) {
    // Start the local state afresh: the engine never took in the last installed set.
    DeleteFileA(JoinLocalPath(m_strBackupDir, triggerName).c_str());
    DeleteFileA(JoinLocalPath(m_strDefinitionsDir, TextOrEmpty(config.pendingFileName)).c_str());
    DeleteFileA(JoinLocalPath(m_strDefinitionsDir, triggerName).c_str());
  }

  CTriggerFileData local;
  if (m_pLocalTriggerFile != nullptr && absorbed) {
    local.Parse(m_pLocalTriggerFile, m_nLocalTriggerFileSize);  // entries before a fault serve
  }
  if (m_pLocalTriggerFile != nullptr) {
    CMemoryDebugging::TraceDeallocate(m_pLocalTriggerFile);
    m_pLocalTriggerFile = nullptr;
  }
  ChooseFiles(local, list);
  return TRUE;
}

BOOL CRepositoryUpdates::IsUpdateAbsorbed() {
  if (!PendingFilePresent()) return TRUE;
  const UpdateConfig& config = Config();
  const char* display = TextOrEmpty(config.displayName);
  LogError(config.errorEventId, {FormatMessageId(IDS_CONFIRM_UPDATES_ABSORBED, {display}),
                                 FormatMessageId(IDS_FILE_NOT_CONSUMED, {display})});
  return FALSE;
}
