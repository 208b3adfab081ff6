// One complete update attempt: directories, connection, choice, fetch, install, trigger, host
// notification and the record of what was installed.
#include <string>

#include "host/utility.h"
#include "platform/files.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/own_names.h"
#include "update/repository_updates.h"

BOOL CRepositoryUpdates::PrepareDirectories() {
  UpdateConfig* config = m_pSlot->m_pConfig;
  if (config->prepare != nullptr && config->prepare(config) == 0) return FALSE;

  // The root directory is read only now: the preparation hook may have changed it.
  const char* root = config->rootDirectory;
  if (root == nullptr || *root == '\0') {
    LogError(config->errorEventId,
             {FormatMessageId(IDS_NO_ROOT_DIRECTORY_NAME, {TextOrEmpty(root)}),
              FormatMessageId(IDS_NO_WORKING_CONFIGURATION)});
    return FALSE;
  }
  FileStatus status;
  if (!GetFileStatus(root, &status) && !CreateDirectoryPath(root)) {
    LogError(config->errorEventId, {FormatMessageId(IDS_ROOT_DIRECTORY_NOT_FOUND, {root}),
                                    FormatMessageId(IDS_NO_WORKING_CONFIGURATION)});
    return FALSE;
  }
  SetLocalDirectories(root);
  return TRUE;
}

void CRepositoryUpdates::SetLocalDirectories(const char* root) {
  const UpdateConfig& config = Config();
  m_strDefinitionsDir = JoinLocalPath(root, TextOrEmpty(config.definitionsDirectory));
  m_strBackupDir =
      JoinLocalPath(root, config.backupDirectory != nullptr ? config.backupDirectory : "backup");
}

void CRepositoryUpdates::AdoptPreparation(const CRepositoryUpdates& prepared) {
  m_strDefinitionsDir = prepared.m_strDefinitionsDir;
  m_strBackupDir = prepared.m_strBackupDir;
}

void CRepositoryUpdates::RemoveLeftoverTemporaries() {
  const UpdateConfig& config = Config();
  DeleteFileA(
      JoinLocalPath(m_strDefinitionsDir, TriggerStagingName(TextOrEmpty(config.triggerFileName)))
          .c_str());
  WIN32_FIND_DATAA data;
  HANDLE find =
      FindFirstFileA(JoinLocalPath(m_strDefinitionsDir, ".copy-*.partial").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (IsLeftoverTemporaryName(data.cFileName, config)) {
      DeleteFileA(JoinLocalPath(m_strDefinitionsDir, data.cFileName).c_str());
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

BOOL CRepositoryUpdates::RunUpdateCycle() {
  if (!PrepareDirectories()) return FALSE;
  return RunPreparedCycle();
}

BOOL CRepositoryUpdates::RunPreparedCycle() {
  const UpdateConfig& config = Config();
  // Only this slot's worker writes into these directories, and it is here, between two cycles:
  // a temporary file found now belongs to a run that was killed.
  RemoveLeftoverTemporaries();

  m_strServer = ResolveServerName(config, m_mailServer);
  m_strRemoteDir = TextOrEmpty(config.remoteDirectory);
  m_strUserName = TextOrEmpty(config.userName);
  m_strPassword = TextOrEmpty(config.password);

  if (!Connect()) return FALSE;

  BOOL result = TRUE;
  BOOL absorb = FALSE;
  CStringList list;
  // Verified mode: a set whose signed manifest does not vouch for it is refused before anything
  // is chosen, and the cycle ends as one whose trigger file does not parse.
  const bool verified = m_pVerifiedMode != nullptr;
  bool restore = false;
  if (verified && !VerifyAnnouncement()) {
    result = FALSE;
  } else if (CheckForUpdates()) {
    result = GetFilesToUpdate(list);
    if (result && verified && !CheckListedNames()) {
      result = FALSE;
      list.clear();
    }
    // Nothing to fetch: the verified set may already be in the backup directory, so the
    // installed files are compared with it as when nothing is new.
    restore = verified && result && list.empty();
    if (result && !list.empty()) {
      FileStatus status;
      if (!GetFileStatus(m_strDefinitionsDir.c_str(), &status) &&
          !CreateDirectoryPath(m_strDefinitionsDir.c_str())) {
        LogError(
            config.errorEventId,
            {FormatMessageId(IDS_UPDATE_DEFINITION_FILES, {static_cast<long long>(list.size())}),
             FormatMessageId(IDS_DEFINITIONS_DIRECTORY_NOT_FOUND, {m_strDefinitionsDir})});
        return FALSE;  // the connection is left to the destructor
      }
      if (!GetFileStatus(m_strBackupDir.c_str(), &status) &&
          GetFileAttributesA(m_strBackupDir.c_str()) == INVALID_FILE_ATTRIBUTES &&
          !CreateDirectoryPath(m_strBackupDir.c_str())) {
        const std::string detail = std::to_string(GetLastError());
        LogError(config.errorEventId,
                 {FormatMessageId(IDS_CREATING_BACKUP_DIRECTORY, {m_strBackupDir}), detail});
        return FALSE;
      }
      result = FetchFiles(list);
      if (result) result = verified ? InstallVerifiedFiles() : InstallFiles();
      if (result) result = WriteTriggerFiles();  // a failure to signal the engine fails the cycle
      if (result) absorb = TRUE;
    }
  } else if (verified) {
    restore = true;
  } else if (!IsUpdateAbsorbed()) {
    absorb = TRUE;  // prompt the engine again to take in the update installed earlier
  }
  if (restore) {
    BOOL restored = FALSE;
    result = RestoreVerifiedSet(restored);
    if (restored) {
      absorb = result;
    } else if (result && !IsUpdateAbsorbed()) {
      absorb = TRUE;
    }
  }

  Disconnect();

  if (absorb) {
    if (config.updatesAvailable != nullptr) {
      LogOperation(config.operationEventId,
                   {"UpdatesAvailable()", FormatMessageId(IDS_ATTEMPTING_TO_ABSORB)});
      m_log.Flush();
      result &= static_cast<BOOL>(config.updatesAvailable(config.updatesAvailableContext));
    }
  } else {
    result &= static_cast<BOOL>(config.nothingToAbsorb(config.nothingToAbsorbContext));
  }

  if (result) {
    SetDwordProperty(m_mailServer, config.processorName, config.lastUpdateTimeProperty,
                     CurrentTime32());
    SaveInstalledFiles(m_triggerData);
    if (verified) SaveVerifiedReference();
  }
  return result;
}
