#include "ftp/ftp_updates.h"

#include <strings.h>

#include <memory>

#include "ftp/reachability.h"
#include "host/utility.h"
#include "resources/messages.h"
#include "service/update_slot.h"

namespace {

constexpr std::uint16_t kFtpPort = 21;

std::string TrimTrailingWhiteSpace(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n' || text.back() == '\v' || text.back() == '\f')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

CFtpUpdates::CFtpUpdates(UpdateSlot* slot) : CRepositoryUpdates(slot), m_pFtpConnection(nullptr) {}

CFtpUpdates::~CFtpUpdates() {
  if (m_pFtpConnection != nullptr) CFtpUpdates::Disconnect();
}

BOOL CFtpUpdates::IsConnected() {
  return m_pFtpConnection != nullptr ? 1 : 0;
}

void CFtpUpdates::Disconnect() {
  if (m_pFtpConnection == nullptr) return;
  m_pFtpConnection->Close();
  delete m_pFtpConnection;
  m_pFtpConnection = nullptr;
}

BOOL CFtpUpdates::Connect() {
  const UpdateConfig& config = Config();
  const char* display = TextOrEmpty(config.displayName);
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  if (m_pFtpConnection != nullptr) Disconnect();

  ServerAddress address;
  if (!ParseServerAddress(m_strServer, &address) || address.IsHttp()) {
    std::string detail;
    FormatErrorMessage(ERROR_INTERNET_INVALID_URL, &detail);
    LogError(config.errorEventId, {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}), detail});
    return FALSE;
  }
  if (!IsServerReachable(address.host.c_str(), address.PortOr(kFtpPort), config.probeTimeoutMs,
                         m_session.GetStopGrace())) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}), std::to_string(ERROR_TIMEOUT)});
    return FALSE;
  }

  DWORD passive = 0;
  DWORD size = sizeof(passive);
  if (!GetMailServerProperty(m_mailServer, config.processorName, config.passiveFtpProperty,
                             &passive, &size, nullptr)) {
    passive = config.defaultPassiveFtp;
  }

  try {
    m_pFtpConnection = m_session.GetFtpConnection(
        address.host.c_str(), m_strUserName.c_str(), m_strPassword.c_str(), address.port,
        passive != 0 ? TRUE : FALSE, address.scheme == ServerScheme::kFtps);
  } catch (const CInternetException& exception) {
    std::string detail;
    FormatErrorMessage(exception.m_dwError, &detail);
    LogError(config.errorEventId, {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}), detail});
    return FALSE;
  }

  if (!m_pFtpConnection->SetCurrentDirectory(m_strRemoteDir.c_str())) {
    const std::string detail = FormatErrorCode(GetLastError());
    LogError(config.errorEventId, {FormatMessageId(IDS_NO_REMOTE_UPDATES_DIRECTORY), detail});
    delete m_pFtpConnection;
    m_pFtpConnection = nullptr;
    return FALSE;
  }

  {
    CFtpFileFind finder(m_pFtpConnection, 1);
    if (!finder.FindFile(nullptr, INTERNET_FLAG_RELOAD)) {
      const std::string detail = FormatErrorCode(GetLastError());
      LogError(config.errorEventId, {FormatMessageId(IDS_FAILED_TO_ENUMERATE_REMOTE), detail});
    } else {
      BOOL more = FALSE;
      do {
        more = finder.FindNextFile();
        m_remoteFileSizes[finder.GetFileName()] = finder.GetLength();
      } while (more);
    }
  }

  const std::string shownPath = m_strRemoteDir + "\\" + triggerName;
  if (m_pRemoteTriggerFile != nullptr) {
    CMemoryDebugging::TraceDeallocate(m_pRemoteTriggerFile);
    m_pRemoteTriggerFile = nullptr;
  }

  std::string name = triggerName;
  if (!FindRemoteFile(name, m_nRemoteTriggerFileSize)) {
    Disconnect();
    return FALSE;
  }
  CInternetFile* file = OpenRemoteFile(name);
  if (file == nullptr) {
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {shownPath}),
                                   std::to_string(ERROR_PATH_NOT_FOUND)});
    Disconnect();
    return FALSE;
  }
  if (AcceptsFileSize(m_nRemoteTriggerFileSize, true, triggerName)) {
    ReadRemoteFile(file, m_nRemoteTriggerFileSize, &m_pRemoteTriggerFile);
  }
  CloseRemoteFile(file);
  if (m_pRemoteTriggerFile == nullptr) {
    const std::string detail = FormatErrorCode(GetLastError());
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {triggerName}), detail});
    Disconnect();
    return FALSE;
  }
  return TRUE;
}

bool CFtpUpdates::LookUpRemoteFile(std::string& name, std::uint64_t& size) const {
  const auto exact = m_remoteFileSizes.find(name);
  if (exact != m_remoteFileSizes.end()) {
    size = exact->second;
    return true;
  }
  for (const auto& [listed, listedSize] : m_remoteFileSizes) {
    size = listedSize;
    if (strcasecmp(listed.c_str(), name.c_str()) == 0) {
      name = listed;
      return true;
    }
  }
  return false;
}

bool CFtpUpdates::ListedSize(const std::string& name, std::uint64_t& size) const {
  std::string listed = name;
  return LookUpRemoteFile(listed, size);
}

BOOL CFtpUpdates::FindRemoteFile(std::string& name, std::uint64_t& size) {
  if (LookUpRemoteFile(name, size)) return TRUE;
  const UpdateConfig& config = Config();
  LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {m_strRemoteDir + "/" + name}),
                                 FormatMessageId(IDS_REMOTE_FILE_DOES_NOT_EXIST)});
  return FALSE;
}

CInternetFile* CFtpUpdates::OpenRemoteFile(const std::string& name) {
  try {
    if (m_pFtpConnection == nullptr)
      throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return m_pFtpConnection->OpenFile(name.c_str(), GENERIC_READ, FTP_TRANSFER_TYPE_BINARY, 2);
  } catch (const CInternetException& exception) {
    const std::string detail = FormatErrorCode(exception.m_dwError);
    LogError(Config().errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {name}), detail});
    return nullptr;
  }
}

BOOL CFtpUpdates::ReadRemoteFile(CInternetFile* file, std::uint64_t size, BYTE** buffer) {
  if (file == nullptr) return FALSE;
  if ((size >> 32) != 0) return FALSE;
  const UINT length = static_cast<UINT>(size);
  *buffer = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(length, kFtpUpdatesTag, __LINE__));
  if (*buffer == nullptr) return FALSE;

  auto discard = [buffer]() {
    CMemoryDebugging::TraceDeallocate(*buffer);
    *buffer = nullptr;
  };
  file->SetReadBufferSize(length);
  UINT count = 0;
  try {
    count = file->Read(*buffer, length);
  } catch (const CInternetException& exception) {
    SetLastError(exception.m_dwError);
    discard();
    return FALSE;
  }
  if (count != length) {
    discard();
    SetLastError(ERROR_NO_DATA_DETECTED);
    return FALSE;
  }
  // Nothing may follow the listed size. A read returns at least one byte unless the file has
  // ended, so one read tells; stopping there keeps an endless file from holding the worker.
  BYTE scratch[1000];
  DWORD extra = 0;
  if (!InternetReadFile(file, scratch, sizeof(scratch), &extra)) extra = 0;
  if (extra != 0) {
    discard();
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

std::string FormatErrorCode(DWORD code) {
  if (code != ERROR_INTERNET_EXTENDED_ERROR) return std::to_string(code);
  DWORD responseCode = 0;
  DWORD length = 1;
  std::string response;
  char* text =
      static_cast<char*>(CMemoryDebugging::TraceAllocate(length, kFtpUpdatesTag, __LINE__));
  if (text != nullptr && InternetGetLastResponseInfo(&responseCode, text, &length)) {
    response = text;
  } else {
    CMemoryDebugging::TraceDeallocate(text);
    text = static_cast<char*>(CMemoryDebugging::TraceAllocate(length, kFtpUpdatesTag, __LINE__));
    if (text != nullptr && InternetGetLastResponseInfo(&responseCode, text, &length)) {
      response = text;
    }
  }
  CMemoryDebugging::TraceDeallocate(text);
  return TrimTrailingWhiteSpace(std::to_string(code) + ":" + std::to_string(responseCode) + " - " +
                                response);
}

void FormatErrorMessage(DWORD code, std::string* out) {
  if (out == nullptr) return;
  *out = FormatErrorCode(code) + ": " + InternetErrorText(code);
}
