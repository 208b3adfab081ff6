#include "update/repository_updates.h"

#include <atomic>
#include <string>
#include <vector>

#include "host/utility.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/own_names.h"

namespace {

std::atomic<std::uint64_t> g_maxFileSize{kDefaultMaxFileSize};

}  // namespace

void SetMaxFileSize(std::uint64_t bytes) {
  g_maxFileSize = bytes != 0 ? bytes : kDefaultMaxFileSize;
}

std::uint64_t GetMaxFileSize() {
  return g_maxFileSize;
}

CRepositoryUpdates::CRepositoryUpdates(UpdateSlot* slot)
    : m_session(nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                INTERNET_FLAG_DONT_CACHE),
      m_pSlot(slot),
      m_hStopEvent(slot->m_hStopEvent),
      m_pRemoteTriggerFile(nullptr),
      m_nRemoteTriggerFileSize(0),
      m_pLocalTriggerFile(nullptr),
      m_nLocalTriggerFileSize(0),
      m_log(slot->m_hMailServer, "VARAZO", nullptr),
      m_pVerifiedMode(slot->m_verified) {
  m_mailServer.Wrap(slot->m_hMailServer);
  // Every wait on a server ends soon after a stop, so that a slow or hostile server cannot hold
  // the worker, and with it the service's shutdown.
  m_session.SetStopEvent(m_hStopEvent);
}

CRepositoryUpdates::~CRepositoryUpdates() {
  if (m_pRemoteTriggerFile != nullptr) {
    CMemoryDebugging::TraceDeallocate(m_pRemoteTriggerFile);
    m_pRemoteTriggerFile = nullptr;
  }
  if (m_pLocalTriggerFile != nullptr) {
    CMemoryDebugging::TraceDeallocate(m_pLocalTriggerFile);
    m_pLocalTriggerFile = nullptr;
  }
}

const UpdateConfig& CRepositoryUpdates::Config() const {
  return *m_pSlot->m_pConfig;
}

void CRepositoryUpdates::Log(bool error, DWORD eventId,
                             std::initializer_list<std::string_view> texts) {
  if (error && m_bQuietErrors) return;
  std::vector<std::string> owned;
  owned.reserve(texts.size());
  for (std::string_view text : texts) owned.emplace_back(text);
  std::vector<const char*> pointers;
  pointers.reserve(owned.size());
  for (const std::string& text : owned) pointers.push_back(text.c_str());
  const DWORD count = static_cast<DWORD>(pointers.size());
  if (error) {
    m_log.LogErrorVa(Config().errorLogText, eventId, count, pointers.data());
  } else {
    m_log.LogOperationVa(Config().operationLogText, eventId, count, pointers.data());
  }
}

void CRepositoryUpdates::LogOperation(DWORD eventId,
                                      std::initializer_list<std::string_view> texts) {
  Log(false, eventId, texts);
}

void CRepositoryUpdates::LogError(DWORD eventId, std::initializer_list<std::string_view> texts) {
  Log(true, eventId, texts);
}

BOOL CRepositoryUpdates::SaveInstalledFiles(const CTriggerFileData& list) {
  const UpdateConfig& config = Config();
  m_pSlot->m_installedFiles.Copy(list);
  const std::string encoded = m_pSlot->m_installedFiles.Encode();
  if (SetMailServerProperty(m_mailServer, config.processorName, PROPERTY_TYPE_TEXT,
                            config.installedFilesProperty, encoded.c_str(),
                            static_cast<DWORD>(encoded.size() + 1))) {
    return TRUE;
  }
  const std::string detail = std::to_string(GetLastError());
  LogError(config.errorEventId,
           {FormatMessageId(IDS_FAILED_TO_UPDATE_CONFIGURATION, {TextOrEmpty(config.displayName)}),
            detail});
  return FALSE;
}

BOOL CRepositoryUpdates::AcceptsFileSize(std::uint64_t size, bool triggerFile,
                                         const std::string& shownName) {
  const std::uint64_t limit = triggerFile ? kMaxTriggerFileSize : GetMaxFileSize();
  if (size <= limit) return TRUE;
  // Logged once for a file, not once for each of its attempts.
  if (shownName != m_lastRefusedSize) {
    m_lastRefusedSize = shownName;
    LogError(Config().errorEventId,
             {FormatMessageId(IDS_UPDATING_FILE, {shownName}),
              "The server announces " + std::to_string(size) + " bytes, more than the limit of " +
                  std::to_string(limit) + " bytes."});
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL CRepositoryUpdates::IsFetchableName(const std::string& name) const {
  return IsPlainFileName(name) && !IsOwnFileName(name, Config()) ? TRUE : FALSE;
}

std::string ResolveServerName(const UpdateConfig& config, _tMailServer* server) {
  if (config.serverName != nullptr) return config.serverName;
  std::string name;
  if (GetStringPropertyOrEmpty(server, config.processorName, config.serverNameProperty, name)) {
    return name;
  }
  return TextOrEmpty(config.defaultServerName);
}
