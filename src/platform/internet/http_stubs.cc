// Placeholders for the HTTP classes until the HTTP side of the layer is written: every request
// fails cleanly.
#include "platform/internet/internet.h"
#include "platform/internet/internet_state.h"

struct HttpConnectionState {};

CHttpConnection* CInternetSession::GetHttpConnection(const char*, std::uint16_t, const char*,
                                                     const char*, bool) {
  throw CInternetException(ERROR_INTERNET_INTERNAL_ERROR);
}

CHttpConnection::CHttpConnection(std::unique_ptr<HttpConnectionState> state)
    : m_state(std::move(state)) {}

CHttpConnection::~CHttpConnection() = default;

void CHttpConnection::Close() {}

CHttpFile* CHttpConnection::OpenRequest(int, const char*, const char*, DWORD, const char**,
                                        const char*, DWORD) {
  return nullptr;
}

BOOL CHttpFile::SendRequest(const char*, DWORD, const void*, DWORD) {
  throw CInternetException(ERROR_INTERNET_INTERNAL_ERROR);
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD&) const {
  SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
  return FALSE;
}

BOOL CHttpFile::QueryInfo(DWORD, void*, DWORD*, DWORD*) const {
  SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
  return FALSE;
}

std::string HttpRequestTarget(const std::string&) {
  return "";
}
