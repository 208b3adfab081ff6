#include "integrity/trigger_file_data.h"

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "host/utility.h"

namespace {

// The six whitespace bytes of the C locale, whatever locale the process runs in.
bool IsListWhitespace(unsigned char byte) {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// A token used as a name or a number ends at its first NUL byte.
std::string_view UpToNul(std::string_view token) {
  std::size_t nul = token.find('\0');
  return nul == std::string_view::npos ? token : token.substr(0, nul);
}

// strtoul in the C locale, so that the process's locale cannot change what a token means.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

}  // namespace

DWORD ParseHexValue(const char* token) {
  if (token == nullptr) return 0;
  // strtoul skips leading whitespace and then reads the sign; find the sign the same way.
  const char* p = token;
  while (*p != '\0' && IsListWhitespace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';

  char* end = nullptr;
  errno = 0;
  locale_t locale = CLocale();
  unsigned long long value = locale != static_cast<locale_t>(0)
                                 ? strtoull_l(token, &end, 16, locale)
                                 : std::strtoull(token, &end, 16);
  bool overflow = errno == ERANGE;
  if (end == token || *end != '\0') return 0;

  // The value is defined on 32 bits, as strtoul gives it where unsigned long is 32 bits wide: a
  // magnitude beyond 32 bits saturates (whatever the sign), and a minus negates modulo 2^32.
  unsigned long long magnitude = negative ? 0 - value : value;
  if (overflow || magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  return negative ? static_cast<DWORD>(0u - static_cast<DWORD>(magnitude))
                  : static_cast<DWORD>(magnitude);
}

bool CTriggerFileData::Lookup(const std::string& name, DWORD& crc) const {
  auto it = m_map.find(name);
  if (it == m_map.end()) return false;
  crc = it->second;
  return true;
}

void CTriggerFileData::Copy(const CTriggerFileData& other) {
  if (this == &other) {
    m_map.clear();
    return;
  }
  m_map = other.m_map;
}

bool CTriggerFileData::IsEqual(const CTriggerFileData& other) const {
  return m_map == other.m_map;
}

std::string CTriggerFileData::Format() const {
  std::string text;
  for (const auto& [name, crc] : m_map) {
    char hex[8];
    auto result = std::to_chars(hex, hex + sizeof hex, crc, 16);
    text.append(hex, result.ptr);
    text += ' ';
    text += UpToNul(name);  // written as "%s" writes it
    text += "\r\n";
  }
  return text;
}

std::string CTriggerFileData::Encode() const {
  std::string text = Format();
  // The encoder's capacity is a 32-bit count of twice the text's length.
  if (text.size() > 0x7FFFFFFFu) return std::string();
  DWORD length = static_cast<DWORD>(text.size());
  std::vector<char> destination(2 * static_cast<std::size_t>(length) + 1, '\0');
  EncodePropertyText(text.data(), length, destination.data(), 2 * length);
  destination.back() = '\0';
  return std::string(destination.data());
}

void CTriggerFileData::Decode(const char* encoded) {
  m_map.clear();
  if (encoded == nullptr) encoded = "";
  std::size_t encodedLength = std::strlen(encoded);
  // Decoded data is never longer than its encoding; a value beyond 32 bits cannot be one of ours.
  if (encodedLength > 0xFFFFFFFFu) return;
  DWORD capacity = static_cast<DWORD>(encodedLength);
  std::vector<char> decoded(encodedLength + 1, '\0');
  DWORD length = capacity;
  DecodePropertyText(encoded, decoded.data(), &length);
  if (length > capacity) length = capacity;
  if (!Parse(decoded.data(), length)) m_map.clear();
}

std::uint64_t CountChecksumListEntries(const void* text, std::uint64_t length) {
  if (text == nullptr) return 0;
  const unsigned char* bytes = static_cast<const unsigned char*>(text);
  std::uint64_t tokens = 0;
  bool inToken = false;
  for (std::uint64_t i = 0; i < length; ++i) {
    const bool whitespace = IsListWhitespace(bytes[i]);
    if (!whitespace && !inToken) ++tokens;
    inToken = !whitespace;
  }
  return tokens / 2;
}

bool CTriggerFileData::Parse(const void* text, std::uint64_t length) {
  if (text == nullptr) return false;
  m_map.clear();
  const char* bytes = static_cast<const char*>(text);

  // Tokens are views into the text: nothing is copied but the names entered and one CRC token.
  std::string_view pendingCrc;
  std::uint64_t tokenStart = 0;
  bool inToken = false;
  std::string crcToken;
  for (std::uint64_t i = 0; i < length; ++i) {
    if (!IsListWhitespace(static_cast<unsigned char>(bytes[i]))) {
      if (!inToken) {
        tokenStart = i;
        inToken = true;
      }
      continue;
    }
    if (!inToken) continue;
    inToken = false;
    std::string_view token(bytes + tokenStart, static_cast<std::size_t>(i - tokenStart));
    if (pendingCrc.empty()) {
      pendingCrc = token;
      continue;
    }
    crcToken.assign(UpToNul(pendingCrc));
    DWORD crc = ParseHexValue(crcToken.c_str());
    if (crc == 0) return false;
    m_map[std::string(UpToNul(token))] = crc;
    pendingCrc = {};
  }
  return !inToken && pendingCrc.empty();
}
