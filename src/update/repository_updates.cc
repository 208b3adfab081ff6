#include "update/repository_updates.h"

#include <string>
#include <vector>

#include "host/utility.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/own_names.h"

namespace {

// Passwords shorter than this are not masked: they would match ordinary text everywhere, and no
// text of the system's own ever holds the password.
constexpr std::size_t kShortestMaskedPassword = 4;

std::string MaskPassword(std::string_view text, const std::string& password) {
  std::string masked(text);
  if (password.size() < kShortestMaskedPassword) return masked;
  for (std::size_t at = masked.find(password); at != std::string::npos;
       at = masked.find(password, at + 8)) {
    masked.replace(at, password.size(), "********");
  }
  return masked;
}

}  // namespace

CRepositoryUpdates::CRepositoryUpdates(UpdateSlot* slot)
    : m_session(nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                INTERNET_FLAG_DONT_CACHE),
      m_pSlot(slot),
      m_hStopEvent(slot->m_hStopEvent),
      m_pRemoteTriggerFile(nullptr),
      m_nRemoteTriggerFileSize(0),
      m_pLocalTriggerFile(nullptr),
      m_nLocalTriggerFileSize(0),
      m_log(slot->m_hMailServer, "VARAZO", nullptr) {
  m_mailServer.Wrap(slot->m_hMailServer);
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
  for (std::string_view text : texts) owned.push_back(MaskPassword(text, m_strPassword));
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
