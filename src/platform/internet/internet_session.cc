// CInternetSession and CFtpConnection: a session owns the libcurl multi handle; an FTP
// connection is a logged-in FtpControl on it. An HTTP connection has a multi handle of its own.
#include "platform/internet/ftp_control.h"
#include "platform/internet/http_request.h"
#include "platform/internet/internet.h"
#include "platform/internet/internet_state.h"

namespace {

// A host name or dotted IPv4 address; anything else would not be a host inside the URL.
bool IsHostName(const char* server) {
  if (server == nullptr || *server == '\0') return false;
  for (const char* c = server; *c != '\0'; ++c) {
    const bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                    (*c >= '0' && *c <= '9') || *c == '-' || *c == '.' || *c == '_';
    if (!ok) return false;
  }
  return true;
}

// The User-Agent of a session made without an agent name.
constexpr const char* kDefaultAgent = "FileRepository/1.0";

}  // namespace

CInternetSession::CInternetSession(const char* agent, DWORD, DWORD, const char*, const char*, DWORD)
    : m_state(std::make_unique<InternetSessionState>()) {
  m_state->curl = internet::CurlSession::Create();
  m_state->agent = agent != nullptr && *agent != '\0' ? agent : kDefaultAgent;
}

CInternetSession::~CInternetSession() {
  CInternetSession::Close();
}

void CInternetSession::Close() {
  m_state->curl.reset();
}

void CInternetSession::SetStopEvent(HANDLE event) {
  m_state->stop = event != nullptr ? std::make_shared<StopGrace>(event) : nullptr;
  if (m_state->curl != nullptr) m_state->curl->set_stop(m_state->stop);
}

StopGrace* CInternetSession::GetStopGrace() const {
  return m_state->stop.get();
}

CFtpConnection* CInternetSession::GetFtpConnection(const char* server, const char* userName,
                                                   const char* password, std::uint16_t port,
                                                   BOOL passive, bool explicitTls) {
  if (m_state->curl == nullptr) throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (!IsHostName(server)) throw CInternetException(ERROR_INTERNET_INVALID_URL);
  internet::FtpLogin login;
  login.host = server;
  login.port = port != 0 ? port : 21;
  login.user = userName != nullptr ? userName : "";
  login.password = password != nullptr ? password : "";
  login.passive = passive != FALSE;
  login.tls = explicitTls;
  std::shared_ptr<internet::FtpControl> control;
  const DWORD code = internet::FtpControl::Login(m_state->curl, login, &control);
  if (code != ERROR_SUCCESS) throw CInternetException(code);
  auto state = std::make_unique<FtpConnectionState>();
  state->control = std::move(control);
  return new CFtpConnection(std::move(state));
}

CHttpConnection* CInternetSession::GetHttpConnection(const char* server, std::uint16_t port,
                                                     const char*, const char*, bool tls) {
  if (m_state->curl == nullptr) throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (!IsHostName(server)) throw CInternetException(ERROR_INTERNET_INVALID_URL);
  auto state = std::make_unique<HttpConnectionState>();
  state->curl = internet::CurlSession::Create(m_state->stop);
  if (state->curl == nullptr) throw CInternetException(ERROR_INTERNET_INTERNAL_ERROR);
  state->host = server;
  state->port = port != 0 ? port : (tls ? 443 : 80);
  state->tls = tls;
  state->agent = m_state->agent;
  if (tls) {
    const DWORD code = internet::VerifyTlsServer(state->curl, state->host, state->port);
    if (code != ERROR_SUCCESS) throw CInternetException(code);
  }
  return new CHttpConnection(std::move(state));
}

CFtpConnection::CFtpConnection(std::unique_ptr<FtpConnectionState> state)
    : m_state(std::move(state)) {}

CFtpConnection::~CFtpConnection() {
  CFtpConnection::Close();
}

void CFtpConnection::Close() {
  m_state->control->Close();
}

BOOL CFtpConnection::SetCurrentDirectory(const char* directory) {
  if (directory == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD code = m_state->control->ChangeDirectory(directory);
  if (code != ERROR_SUCCESS) {
    SetLastError(code);
    return FALSE;
  }
  return TRUE;
}

const std::string& CFtpConnection::GetCurrentDirectory() const {
  return m_state->control->directory();
}

CInternetFile* CFtpConnection::OpenFile(const char* name, DWORD access, DWORD, DWORD) {
  // Only binary reading is offered; the transfer type flag is accepted and reading is binary.
  if (name == nullptr || access != GENERIC_READ) {
    throw CInternetException(ERROR_INVALID_PARAMETER);
  }
  auto state = std::make_unique<InternetFileState>();
  const DWORD code = m_state->control->OpenDownload(name, &state->source);
  if (code != ERROR_SUCCESS) throw CInternetException(code);
  return new CInternetFile(std::move(state));
}
