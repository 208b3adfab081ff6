#include "http/http_updates.h"

#include <strings.h>

#include "ftp/reachability.h"
#include "host/utility.h"
#include "resources/messages.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/remote_file.h"

namespace {

constexpr std::uint16_t kHttpPort = 80;
constexpr std::uint16_t kHttpsPort = 443;

const char* kAcceptTypes[] = {"*", nullptr};

// The server for this transport: an http:// or https:// URL, or a plain host (http, port 80).
bool ParseHttpServer(const std::string& server, ServerAddress* address) {
  if (!ParseServerAddress(server, address)) return false;
  if (server.find("://") == std::string::npos) {
    address->scheme = ServerScheme::kHttp;
    return true;
  }
  return address->IsHttp();
}

}  // namespace

CHttpUpdates::CHttpUpdates(UpdateSlot* slot)
    : CRepositoryUpdates(slot), m_pHttpConnection(nullptr) {}

CHttpUpdates::~CHttpUpdates() {
  if (m_pHttpConnection != nullptr) CHttpUpdates::Disconnect();
}

BOOL CHttpUpdates::IsConnected() {
  return m_pHttpConnection != nullptr ? 1 : 0;
}

void CHttpUpdates::Disconnect() {
  if (m_pHttpConnection == nullptr) return;
  delete m_pHttpConnection;
  m_pHttpConnection = nullptr;
}

BOOL CHttpUpdates::Connect() {
  const UpdateConfig& config = Config();
  const char* display = TextOrEmpty(config.displayName);
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  if (m_pHttpConnection != nullptr) Disconnect();

  ServerAddress address;
  if (!ParseHttpServer(m_strServer, &address)) {
    LogError(config.errorEventId, {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}),
                                   std::to_string(ERROR_INTERNET_INVALID_URL)});
    return FALSE;
  }
  const bool tls = address.scheme == ServerScheme::kHttps;
  if (!IsServerReachable(address.host.c_str(), address.PortOr(tls ? kHttpsPort : kHttpPort),
                         config.probeTimeoutMs, m_session.GetStopGrace())) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}), std::to_string(ERROR_TIMEOUT)});
    return FALSE;
  }

  m_server = address;
  try {
    m_pHttpConnection =
        m_session.GetHttpConnection(address.host.c_str(), address.port, nullptr, nullptr, tls);
  } catch (const CInternetException& exception) {
    LogError(config.errorEventId, {FormatMessageId(IDS_CONNECTING_TO_SERVER, {display}),
                                   std::to_string(exception.m_dwError)});
    return FALSE;
  }

  const std::string objectPath = m_strRemoteDir + "\\" + triggerName;
  if (m_pRemoteTriggerFile != nullptr) {
    CMemoryDebugging::TraceDeallocate(m_pRemoteTriggerFile);
    m_pRemoteTriggerFile = nullptr;
  }
  CHttpFile* file = RequestRemoteFile(RequestPath(triggerName));
  if (file == nullptr) {
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {objectPath}),
                                   std::to_string(ERROR_PATH_NOT_FOUND)});
    Disconnect();
  } else {
    NoteRedirect(file, objectPath);
    ReadRemoteResponse(file, &m_pRemoteTriggerFile, &m_nRemoteTriggerFileSize, true, triggerName);
    CloseRemoteFile(file);
    if (m_pRemoteTriggerFile == nullptr) {
      LogError(config.errorEventId,
               {FormatMessageId(IDS_UPDATING_FILE, {triggerName}), std::to_string(GetLastError())});
      Disconnect();
    }
  }
  return m_pHttpConnection != nullptr ? TRUE : FALSE;
}

BOOL CHttpUpdates::FetchFile(const std::string& name) {
  const UpdateConfig& config = Config();
  const std::string remotePath = m_strRemoteDir + "\\" + name;
  if (!IsFetchableName(name)) {
    // A name that could write outside the backup directory is never requested nor written.
    SetLastError(ERROR_INVALID_NAME);
    LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {remotePath}),
                                   std::to_string(ERROR_INVALID_NAME)});
    return FALSE;
  }
  const std::string localPath = JoinLocalPath(m_strBackupDir, name);

  BYTE* buffer = nullptr;
  std::uint64_t size = 0;
  auto release = [&buffer] {
    if (buffer != nullptr) CMemoryDebugging::TraceDeallocate(buffer);
    buffer = nullptr;
  };
  DWORD attempts = 0;
  for (;;) {
    CHttpFile* file = RequestRemoteFile(RequestPath(name));
    if (file == nullptr) {
      LogError(config.errorEventId, {FormatMessageId(IDS_UPDATING_FILE, {remotePath}),
                                     FormatMessageId(IDS_REMOTE_FILE_DOES_NOT_EXIST)});
      release();
      return FALSE;
    }
    NoteRedirect(file, remotePath);
    DownloadDigest digest;
    file->SetObserver(DownloadObserver(digest));
    const BOOL ok = ReadRemoteResponse(file, &buffer, &size, false, remotePath);
    CloseRemoteFile(file);
    if (ok && MatchesTriggerData(name, buffer, size, digest)) break;
    const DWORD cause = GetLastError();
    // As in the FTP transport: a stopping service does not sit through the further attempts.
    const bool stopping = WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
    if (attempts >= config.downloadRetries || stopping) {
      LogError(config.errorEventId,
               {FormatMessageId(IDS_UPDATING_FILE, {remotePath}), std::to_string(cause)});
      release();
      return FALSE;
    }
    ++attempts;
  }

  return WriteFetchedFile(buffer, size, localPath);
}

BOOL CHttpUpdates::FetchSigningFile(const std::string& name, std::uint64_t limit,
                                    std::string& content) {
  SetLastError(0);
  CHttpFile* file = RequestRemoteFile(RequestPath(name));
  if (file == nullptr) {
    // No cause: the server answered, with another status than 2xx.
    if (GetLastError() == 0) SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  NoteRedirect(file, m_strRemoteDir + "\\" + name);
  DWORD length = 0;
  DWORD lengthSize = sizeof(length);
  BYTE* buffer = nullptr;
  std::uint64_t size = 0;
  BOOL read = FALSE;
  if (file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &lengthSize,
                      nullptr) &&
      length > limit) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // refused unread
  } else {
    // Within the trigger file's limit, which is not below any signing file's.
    read = ReadRemoteResponse(file, &buffer, &size, true, name);
  }
  CloseRemoteFile(file);
  if (!read) return FALSE;
  content.assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
  CMemoryDebugging::TraceDeallocate(buffer);
  return TRUE;
}

std::string CHttpUpdates::RequestPath(const std::string& name) const {
  return m_strRemoteDir + "\\" + HttpEscapeName(name);
}

void CHttpUpdates::NoteRedirect(CHttpFile* file, const std::string& shownPath) {
  const std::string url = file->GetFileURL();
  if (url.empty()) return;
  // The scheme and authority of the URL, as a server address.
  const std::size_t authority = url.find("://");
  const std::size_t path =
      authority == std::string::npos ? std::string::npos : url.find('/', authority + 3);
  const std::string origin = url.substr(0, path);
  const auto port = [](const ServerAddress& address) {
    return address.PortOr(address.scheme == ServerScheme::kHttps ? kHttpsPort : kHttpPort);
  };
  ServerAddress landed;
  if (ParseServerAddress(origin, &landed) && landed.scheme == m_server.scheme &&
      strcasecmp(landed.host.c_str(), m_server.host.c_str()) == 0 &&
      port(landed) == port(m_server)) {
    return;
  }
  if (origin == m_strRedirectLogged) return;
  m_strRedirectLogged = origin;
  LogOperation(Config().operationEventId, {FormatMessageId(IDS_UPDATING_FILE, {shownPath}),
                                           "The server sent the request on to another server: " +
                                               MaskPassword(url, m_strPassword)});
}

CHttpFile* CHttpUpdates::RequestRemoteFile(const std::string& objectPath) {
  if (m_pHttpConnection == nullptr) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return nullptr;
  }
  CHttpFile* file =
      m_pHttpConnection->OpenRequest(HTTP_VERB_GET, objectPath.c_str(), nullptr, 0, kAcceptTypes,
                                     nullptr, INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE);
  if (file == nullptr) return nullptr;
  bool failed = false;
  try {
    file->SendRequest(nullptr, 0, nullptr, 0);
  } catch (const CInternetException& exception) {
    SetLastError(exception.m_dwError);
    failed = true;
  } catch (...) {
    delete file;
    throw;
  }
  DWORD status = 0;
  if (!failed && (!file->QueryInfoStatusCode(status) || status / 100 != 2)) failed = true;
  if (failed) {
    const DWORD cause = GetLastError();
    delete file;
    SetLastError(cause);
    return nullptr;
  }
  return file;
}

BOOL CHttpUpdates::ReadRemoteResponse(CHttpFile* file, BYTE** buffer, std::uint64_t* size,
                                      bool triggerFile, const std::string& shownName) {
  DWORD length = 0;
  DWORD lengthSize = sizeof(length);
  if (!file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &lengthSize,
                       nullptr)) {
    return FALSE;
  }
  *size = length;
  if (*buffer != nullptr) CMemoryDebugging::TraceDeallocate(*buffer);
  *buffer = nullptr;
  if (!AcceptsFileSize(length, triggerFile, shownName)) return FALSE;
  *buffer = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(length, kHttpUpdatesTag, __LINE__));
  if (*buffer == nullptr) return FALSE;

  auto discard = [buffer] {
    CMemoryDebugging::TraceDeallocate(*buffer);
    *buffer = nullptr;
  };
  UINT count = 0;
  try {
    count = file->Read(*buffer, length);
  } catch (const CInternetException& exception) {
    // A body that breaks off or stalls fails this attempt, which FetchFile may repeat, as a
    // broken FTP transfer does; it must not end the worker.
    SetLastError(exception.m_dwError);
    discard();
    return FALSE;
  }
  if (count < length) {
    discard();
    SetLastError(ERROR_NO_DATA_DETECTED);
    return FALSE;
  }
  return TRUE;
}
