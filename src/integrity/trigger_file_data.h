// CTriggerFileData: a set of definition files with their CRC-32 values, a map from file name
// (exact, byte-wise, case-sensitive) to CRC. Its text form is the checksum list: one line
// "%x %s\r\n" per file. The trigger file that the updates server publishes is a checksum list,
// and so is the stored record of installed files (encoded for its property).
#ifndef FILEREPOSITORY_INTEGRITY_TRIGGER_FILE_DATA_H_
#define FILEREPOSITORY_INTEGRITY_TRIGGER_FILE_DATA_H_

#include <cstdint>
#include <map>
#include <string>

#include "platform/win32.h"

class CTriggerFileData {
 public:
  using Map = std::map<std::string, DWORD>;
  using const_iterator = Map::const_iterator;

  CTriggerFileData() = default;
  CTriggerFileData(const CTriggerFileData& other) { Copy(other); }
  CTriggerFileData& operator=(const CTriggerFileData& other) {
    if (this != &other) Copy(other);
    return *this;
  }
  virtual ~CTriggerFileData() = default;

  // The map operations in use.
  bool Lookup(const std::string& name, DWORD& crc) const;
  void SetAt(const std::string& name, DWORD crc) { m_map[name] = crc; }
  bool RemoveKey(const std::string& name) { return m_map.erase(name) != 0; }
  void RemoveAll() { m_map.clear(); }
  bool IsEmpty() const { return m_map.empty(); }
  std::size_t GetCount() const { return m_map.size(); }
  const_iterator begin() const { return m_map.begin(); }
  const_iterator end() const { return m_map.end(); }

  // This list afterwards holds exactly the other's entries (copying into itself empties it).
  void Copy(const CTriggerFileData& other);
  // Same names with the same CRCs.
  bool IsEqual(const CTriggerFileData& other) const;

  // The checksum list text of the entries, in iteration order (no encoding).
  std::string Format() const;
  // The checksum list passed through the host's EncodePropertyText: the stored form.
  std::string Encode() const;
  // Empties the list, decodes `encoded` with the host's DecodePropertyText and parses it; a value
  // that does not decode into a valid checksum list leaves the list empty. Null decodes as "".
  void Decode(const char* encoded);
  // Parses a checksum list of `length` bytes into this list (emptied first). False when the text
  // is not a valid list; the list then keeps the pairs read before the fault. A null `text`
  // returns false and leaves the list as it is.
  bool Parse(const void* text, std::uint64_t length);

 private:
  Map m_map;
};

// How many entries a checksum list of `length` bytes announces: its tokens taken in pairs, the
// way Parse pairs them, counted without taking anything in. A null `text` counts 0.
std::uint64_t CountChecksumListEntries(const void* text, std::uint64_t length);

// strtoul in base 16 over a NUL-terminated token: the value, or 0 when the conversion does not
// consume the whole token (0 is never a valid CRC of a checksum list). A null token gives 0.
DWORD ParseHexValue(const char* token);

#endif  // FILEREPOSITORY_INTEGRITY_TRIGGER_FILE_DATA_H_
