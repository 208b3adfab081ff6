// The reversible text form of binary property values: lower-case hexadecimal, two characters a
// byte.
#include "host/utility.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

BOOL EncodePropertyText(const void* source, DWORD length, char* dest, DWORD capacity) {
  if (dest == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dest[0] = '\0';
  if (source == nullptr && length > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (capacity < 2 * static_cast<std::uint64_t>(length)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(source);
  for (DWORD i = 0; i < length; ++i) {
    dest[2 * i] = kDigits[bytes[i] >> 4];
    dest[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  dest[2 * static_cast<std::size_t>(length)] = '\0';
  return TRUE;
}

BOOL DecodePropertyText(const char* source, void* dest, DWORD* length) {
  if (source == nullptr || dest == nullptr || length == nullptr) {
    if (length != nullptr) *length = 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD capacity = *length;
  auto* bytes = static_cast<unsigned char*>(dest);
  DWORD decoded = 0;
  const char* p = source;
  for (; *p != '\0' && decoded < capacity; p += 2) {
    int high = HexValue(p[0]);
    int low = high < 0 ? -1 : HexValue(p[1]);  // p[1] is the NUL at worst
    if (low < 0) break;
    bytes[decoded++] = static_cast<unsigned char>(high << 4 | low);
  }
  *length = decoded;
  if (*p == '\0') return TRUE;
  // Stopped early: an odd length or a character that is not hexadecimal, or no room for more.
  SetLastError(decoded < capacity ? ERROR_INVALID_DATA : ERROR_INSUFFICIENT_BUFFER);
  return FALSE;
}
