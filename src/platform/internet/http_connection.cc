// CHttpConnection and CHttpFile over HttpRequest.
#include <cstring>
#include <optional>
#include <string>

#include "platform/internet/http_request.h"
#include "platform/internet/internet.h"
#include "platform/internet/internet_state.h"

namespace {

bool HasControlBytes(const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// The request behind a file made by OpenRequest; null once the file is closed.
internet::HttpRequest* RequestOf(const std::unique_ptr<InternetFileState>& state) {
  return static_cast<internet::HttpRequest*>(state->source.get());
}

}  // namespace

CHttpConnection::CHttpConnection(std::unique_ptr<HttpConnectionState> state)
    : m_state(std::move(state)) {}

CHttpConnection::~CHttpConnection() {
  CHttpConnection::Close();
}

void CHttpConnection::Close() {
  m_state->curl.reset();
}

CHttpFile* CHttpConnection::OpenRequest(int verb, const char* objectPath, const char* referrer,
                                        DWORD, const char** acceptTypes, const char* version,
                                        DWORD flags) {
  if (m_state->curl == nullptr) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return nullptr;
  }
  internet::HttpRequestOptions options;
  const std::string versionText = version != nullptr ? version : "";
  if (versionText.empty() || versionText == "HTTP/1.1") {
    options.version = CURL_HTTP_VERSION_1_1;
  } else if (versionText == "HTTP/1.0") {
    options.version = CURL_HTTP_VERSION_1_0;
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (verb != HTTP_VERB_GET || objectPath == nullptr ||
      (referrer != nullptr && HasControlBytes(referrer))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }

  // libcurl sends "Accept: */*" unless told otherwise; the caller's list replaces it, and no
  // list means no Accept header at all.
  std::string accept = "Accept:";
  for (const char** type = acceptTypes; type != nullptr && *type != nullptr; ++type) {
    if (HasControlBytes(*type)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    accept += (accept.size() == 7 ? " " : ", ") + std::string(*type);
  }
  options.headers.push_back(accept);
  if ((flags & INTERNET_FLAG_RELOAD) != 0) {
    options.headers.push_back("Cache-Control: no-cache");
    options.headers.push_back("Pragma: no-cache");
  }
  options.tls = m_state->tls;
  options.url = std::string(options.tls ? "https://" : "http://") + m_state->host + ":" +
                std::to_string(m_state->port) + HttpRequestTarget(objectPath);
  options.agent = m_state->agent;
  options.referrer = referrer != nullptr ? referrer : "";

  std::unique_ptr<internet::HttpRequest> request =
      internet::HttpRequest::Create(m_state->curl, options);
  if (request == nullptr) {
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }
  auto state = std::make_unique<InternetFileState>();
  state->source = std::move(request);
  return new CHttpFile(std::move(state));
}

BOOL CHttpFile::SendRequest(const char* headers, DWORD headersLength, const void* optional,
                            DWORD optionalLength) {
  internet::HttpRequest* request = RequestOf(m_state);
  if (request == nullptr) throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if ((headers != nullptr && headersLength != 0) || (optional != nullptr && optionalLength != 0)) {
    throw CInternetException(ERROR_INVALID_PARAMETER);
  }
  const DWORD code = request->Send();
  if (code != ERROR_SUCCESS) throw CInternetException(code);
  return TRUE;
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& statusCode) const {
  const internet::HttpRequest* request = RequestOf(m_state);
  if (request == nullptr || !request->head().complete()) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  statusCode = static_cast<DWORD>(request->head().statusCode());
  return TRUE;
}

std::string CHttpFile::GetFileURL() const {
  const internet::HttpRequest* request = RequestOf(m_state);
  return request != nullptr ? request->EffectiveUrl() : "";
}

BOOL CHttpFile::QueryInfo(DWORD level, void* buffer, DWORD* length, DWORD* index) const {
  const internet::HttpRequest* request = RequestOf(m_state);
  if (request == nullptr || !request->head().complete()) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  if (level != (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER) || buffer == nullptr ||
      length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (*length < sizeof(DWORD)) {
    *length = sizeof(DWORD);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // One value per header here: only the first occurrence is offered.
  const std::optional<std::string> value =
      index == nullptr || *index == 0 ? request->head().Header("Content-Length") : std::nullopt;
  if (!value) {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  const std::optional<std::uint64_t> number = internet::ParseContentLength(*value);
  if (!number || *number > 0xFFFFFFFFu) {
    SetLastError(ERROR_HTTP_INVALID_HEADER);
    return FALSE;
  }
  const DWORD result = static_cast<DWORD>(*number);
  std::memcpy(buffer, &result, sizeof(result));
  *length = sizeof(DWORD);
  if (index != nullptr) *index = 1;
  return TRUE;
}
