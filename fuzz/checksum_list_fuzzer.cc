// CTriggerFileData::Parse over arbitrary bytes, as a trigger file from a hostile server would
// arrive. Checked against a small model of the grammar (whitespace-separated pairs of a CRC token
// and a name, each pair taking effect at the whitespace after its name), and for the properties
// the rest of the library relies on: an accepted list never carries the CRC 0, its names hold no
// whitespace, what is written of it reads back the same, and the line structure plays no part.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "integrity/trigger_file_data.h"

namespace {

bool IsListWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string UpToNul(std::string_view token) {
  return std::string(token.substr(0, token.find('\0')));
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
      const DWORD crc = ParseHexValue(UpToNul(pendingCrc).c_str());
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

std::map<std::string, DWORD> Entries(const CTriggerFileData& list) {
  return std::map<std::string, DWORD>(list.begin(), list.end());
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
  FUZZ_CHECK(Entries(list) == model.entries);
  // The count a trigger file is refused by before it is parsed: every pair of a valid list.
  if (accepted) FUZZ_CHECK(CountChecksumListEntries(data, size) == model.pairs);

  // A whitespace byte is a separator like any other: LF, CR LF, TAB or a space.
  std::string flattened(text);
  for (char& c : flattened) {
    if (IsListWhitespace(c)) c = ' ';
  }
  CTriggerFileData flat;
  FUZZ_CHECK(flat.Parse(flattened.data(), flattened.size()) == accepted);
  FUZZ_CHECK(flat.IsEqual(list));

  if (!accepted) return 0;
  bool emptyName = false;
  for (const auto& [name, crc] : list) {
    FUZZ_CHECK(crc != 0);
    for (char c : name) FUZZ_CHECK(c != '\0' && !IsListWhitespace(c));
    emptyName = emptyName || name.empty();
  }
  // A name token that begins with a NUL byte is an empty name, which cannot be written back.
  if (emptyName) return 0;

  // What is written reads back as the same list, directly and through the stored form.
  const std::string written = list.Format();
  CTriggerFileData reread;
  FUZZ_CHECK(reread.Parse(written.data(), written.size()));
  FUZZ_CHECK(reread.IsEqual(list));
  CTriggerFileData decoded;
  decoded.Decode(list.Encode().c_str());
  FUZZ_CHECK(decoded.IsEqual(list));
  return 0;
}
