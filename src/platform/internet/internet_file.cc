// CInternetFile and InternetReadFile over a RemoteFileSource.
#include <limits>

#include "platform/internet/internet.h"
#include "platform/internet/internet_state.h"

CInternetFile::CInternetFile(std::unique_ptr<InternetFileState> state)
    : m_state(std::move(state)) {}

CInternetFile::~CInternetFile() {
  CInternetFile::Close();
}

BOOL CInternetFile::SetReadBufferSize(UINT) {
  return TRUE;
}

void CInternetFile::SetObserver(InternetFileObserver* observer) {
  if (m_state->source != nullptr) m_state->source->SetObserver(observer);
}

UINT CInternetFile::Read(void* buffer, UINT count) {
  if (m_state->source == nullptr) throw CInternetException(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (buffer == nullptr && count != 0) throw CInternetException(ERROR_INVALID_PARAMETER);
  std::size_t got = 0;
  const DWORD code = m_state->source->Read(buffer, count, false, &got);
  if (code != ERROR_SUCCESS) throw CInternetException(code);
  return static_cast<UINT>(got);
}

void CInternetFile::Close() {
  if (m_state->source == nullptr) return;
  m_state->source->Close();
  m_state->source.reset();
}

BOOL InternetReadFile(CInternetFile* file, void* buffer, DWORD count, DWORD* read) {
  if (read != nullptr) *read = 0;
  if (file == nullptr || file->m_state->source == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (read == nullptr || (buffer == nullptr && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::size_t got = 0;
  const DWORD code = file->m_state->source->Read(buffer, count, true, &got);
  if (code != ERROR_SUCCESS) {
    SetLastError(code);
    return FALSE;
  }
  *read = static_cast<DWORD>(got);
  return TRUE;
}
