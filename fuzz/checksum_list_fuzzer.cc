// CTriggerFileData::Parse over arbitrary bytes, as a trigger file from a hostile server would
// arrive. Checked against a small model of the grammar (whitespace-separated pairs of a CRC token
// and a name, each pair taking effect at the whitespace after its name; a CRC token read as a
// base-16 strtoul on 32 bits: optional leading whitespace, an optional sign, a minus negating
// modulo 2^32, an optional 0x prefix, saturation at 0xFFFFFFFF, anything left over making it 0),
// and for the properties the rest of the library relies on: an accepted list never carries the
// CRC 0, its names hold no whitespace, what is written of it reads back the same, and the line
// structure plays no part. The same bytes also serve as the stored record of installed files
// (Decode): stored as the library stores a list, they decode to what Parse gives or, invalid, to
// an empty list; taken as any text left in the property, they decode to a list that survives
// another round of Encode and Decode.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "host/utility.h"
#include "integrity/trigger_file_data.h"

namespace {

bool IsListWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string UpToNul(std::string_view token) {
  return std::string(token.substr(0, token.find('\0')));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

DWORD HexModel(const char* token) {
  const char* p = token;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // "0x" counts as a prefix only when a digit follows; otherwise the 0 is the number.
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
  if (HexDigit(*p) < 0) return 0;
  std::uint64_t value = 0;
  for (; HexDigit(*p) >= 0; ++p) {
    value =
        std::min<std::uint64_t>(value * 16 + static_cast<std::uint64_t>(HexDigit(*p)), 1ull << 32);
  }
  if (*p != '\0') return 0;
  if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return negative ? 0u - static_cast<DWORD>(value) : static_cast<DWORD>(value);
}

// Decoded again from its stored form, `list` is the same; false only for an empty name, which
// a stored list cannot carry.
void CheckStoredRoundTrip(const CTriggerFileData& list) {
  for (const auto& [name, crc] : list) {
    FUZZ_CHECK(crc != 0);
    if (name.empty()) return;
  }
  CTriggerFileData again;
  again.Decode(list.Encode().c_str());
  FUZZ_CHECK(again.IsEqual(list));
}

struct ModelResult {
  bool valid = true;
  std::map<std::string, DWORD> entries;
  std::uint64_t pairs = 0;  // lines, as it were: a later pair of a name counts again
};

ModelResult Model(std::string_view text) {
  ModelResult result;
  std::string token;
  std::string pendingCrc;
  bool crcPending = false;
  for (char c : text) {
    if (!IsListWhitespace(c)) {
      token += c;
      continue;
    }
    if (token.empty()) continue;
    if (!crcPending) {
      pendingCrc = token;
      crcPending = true;
    } else {
      const std::string crcToken = UpToNul(pendingCrc);
      const DWORD crc = HexModel(crcToken.c_str());
      FUZZ_CHECK(ParseHexValue(crcToken.c_str()) == crc);
      if (crc == 0) {
        result.valid = false;
        return result;
      }
      result.entries[UpToNul(token)] = crc;
      ++result.pairs;
      crcPending = false;
    }
    token.clear();
  }
  result.valid = token.empty() && !crcPending;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Entries already held must not survive a parse.
  CTriggerFileData list;
  list.SetAt("held-before", 0x1234);
  const bool accepted = list.Parse(data, size);

  const ModelResult model = Model(text);
  FUZZ_CHECK(accepted == model.valid);
  FUZZ_CHECK(decltype(model.entries)(list.begin(), list.end()) == model.entries);
  // The count a trigger file is refused by before it is parsed: every pair of a valid list.
  if (accepted) FUZZ_CHECK(CountChecksumListEntries(data, size) == model.pairs);

  // Stored as the library stores a list, and as any text left in the property.
  std::vector<char> stored(2 * size + 1);
  FUZZ_CHECK(EncodePropertyText(text.data(), static_cast<DWORD>(size), stored.data(),
                                static_cast<DWORD>(2 * size)));
  CTriggerFileData decoded;
  decoded.Decode(stored.data());
  FUZZ_CHECK(accepted ? decoded.IsEqual(list) : decoded.IsEmpty());
  CTriggerFileData raw;
  raw.Decode(std::string(text).c_str());  // up to the first NUL, as a property text is read
  CheckStoredRoundTrip(raw);

  // The model's entries carry no CRC 0 and names without whitespace or NUL; a name token that
  // begins with a NUL byte is an empty name, which cannot be written back.
  if (!accepted || model.entries.contains("")) return 0;

  // What is written reads back as the same list, directly and through the stored form.
  const std::string written = list.Format();
  CTriggerFileData reread;
  FUZZ_CHECK(reread.Parse(written.data(), written.size()));
  FUZZ_CHECK(reread.IsEqual(list));
  CheckStoredRoundTrip(list);
  return 0;
}
