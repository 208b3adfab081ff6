// CFtpFileFind: the listing of a connection's current directory, read whole by FindFile.
#include "platform/files.h"
#include "platform/internet/ftp_control.h"
#include "platform/internet/internet.h"
#include "platform/internet/internet_state.h"

CFtpFileFind::CFtpFileFind(CFtpConnection* connection, DWORD)
    : m_state(std::make_unique<FtpFileFindState>()) {
  if (connection != nullptr) m_state->control = connection->m_state->control;
}

CFtpFileFind::~CFtpFileFind() = default;

BOOL CFtpFileFind::FindFile(const char* pattern, DWORD) {
  Close();
  if (m_state->control == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::vector<internet::FtpListEntry> entries;
  const DWORD code = m_state->control->List(&entries);
  if (code != ERROR_SUCCESS) {
    SetLastError(code);
    return FALSE;
  }
  if (pattern != nullptr && *pattern != '\0') {
    std::erase_if(entries, [pattern](const internet::FtpListEntry& entry) {
      return !WildcardMatches(pattern, entry.name);
    });
  }
  if (entries.empty()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  m_state->entries = std::move(entries);
  return TRUE;
}

BOOL CFtpFileFind::FindNextFile() {
  if (m_state->next >= m_state->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  ++m_state->next;
  if (m_state->next < m_state->entries.size()) return TRUE;
  SetLastError(ERROR_NO_MORE_FILES);
  return FALSE;
}

std::string CFtpFileFind::GetFileName() const {
  if (m_state->next == 0 || m_state->next > m_state->entries.size()) return "";
  return m_state->entries[m_state->next - 1].name;
}

std::uint64_t CFtpFileFind::GetLength() const {
  if (m_state->next == 0 || m_state->next > m_state->entries.size()) return 0;
  return m_state->entries[m_state->next - 1].size;
}

bool CFtpFileFind::IsDirectory() const {
  if (m_state->next == 0 || m_state->next > m_state->entries.size()) return false;
  return m_state->entries[m_state->next - 1].isDirectory;
}

void CFtpFileFind::Close() {
  m_state->entries.clear();
  m_state->next = 0;
}
