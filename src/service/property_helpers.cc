#include "service/property_helpers.h"

#include <cstring>
#include <vector>

namespace {

// Takes a text read into `buffer` (of `size` bytes as the store reported) up to its NUL.
std::string TextUpToNul(const char* buffer, DWORD size) {
  return std::string(buffer, strnlen(buffer, size));
}

bool IsTextType(DWORD type) {
  return type == PROPERTY_TYPE_TEXT || type == PROPERTY_TYPE_UNTYPED;
}

}  // namespace

BOOL GetDwordProperty(_tMailServer* server, const char* section, const char* name, DWORD& value) {
  value = 0;
  DWORD read = 0;
  DWORD size = sizeof(read);
  DWORD type = PROPERTY_TYPE_UNTYPED;
  if (!GetMailServerProperty(server, section, name, &read, &size, &type)) return FALSE;
  if (type != PROPERTY_TYPE_DWORD && type != PROPERTY_TYPE_UNTYPED) return FALSE;
  value = read;
  return TRUE;
}

BOOL SetDwordProperty(_tMailServer* server, const char* section, const char* name, DWORD value) {
  return SetMailServerProperty(server, section, PROPERTY_TYPE_DWORD, name, &value, sizeof(value));
}

BOOL GetStringProperty(_tMailServer* server, const char* section, const char* name,
                       std::string& value) {
  value.clear();
  std::vector<char> buffer(512, '\0');
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = PROPERTY_TYPE_UNTYPED;
  BOOL read = GetMailServerProperty(server, section, name, buffer.data(), &size, &type);
  if (!read) {
    if (GetLastError() != ERROR_MORE_DATA) return FALSE;
    buffer.assign(static_cast<std::size_t>(size) + 10, '\0');
    size = static_cast<DWORD>(buffer.size());
    if (!GetMailServerProperty(server, section, name, buffer.data(), &size, &type)) return FALSE;
  }
  if (!IsTextType(type)) {
    SetLastError(ERROR_INVALID_DATATYPE);
    return FALSE;
  }
  value = TextUpToNul(buffer.data(), size < buffer.size() ? size : buffer.size());
  return TRUE;
}

BOOL GetStringPropertyOrEmpty(_tMailServer* server, const char* section, const char* name,
                              std::string& value) {
  if (GetStringProperty(server, section, name, value)) return TRUE;
  value.clear();
  return FALSE;
}
