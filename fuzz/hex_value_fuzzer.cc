// ParseHexValue, the reading of a checksum list's CRC token, against a model of a base-16
// strtoul on 32 bits: optional leading whitespace, an optional sign (a minus negates modulo
// 2^32), an optional 0x prefix, hexadecimal digits, saturation at 0xFFFFFFFF; anything left over
// makes the token invalid (0).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "integrity/trigger_file_data.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

DWORD Model(const char* token) {
  const char* p = token;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // "0x" counts as a prefix only when a digit follows; otherwise the 0 is the number.
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
  if (HexDigit(*p) < 0) return 0;
  std::uint64_t value = 0;
  bool saturated = false;
  for (; HexDigit(*p) >= 0; ++p) {
    value = value * 16 + static_cast<std::uint64_t>(HexDigit(*p));
    if (value > 0xFFFFFFFFu) {
      saturated = true;
      value = 0xFFFFFFFFu;
    }
  }
  if (*p != '\0') return 0;
  if (saturated) return 0xFFFFFFFFu;
  const DWORD magnitude = static_cast<DWORD>(value);
  return negative ? 0u - magnitude : magnitude;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string token(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(ParseHexValue(token.c_str()) == Model(token.c_str()));
  return 0;
}
