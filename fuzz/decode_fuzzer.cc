// CTriggerFileData::Decode, the reading of the stored record of installed files: either of the
// raw property value (any text an administrator or another program may have left there) or of
// the stored form of a checksum list. Decoding gives the parsed list when the text decodes into a
// valid checksum list and an empty list otherwise; a list without an empty name (which a NUL byte
// in the text can make) survives another round of Encode and Decode.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host/utility.h"
#include "integrity/trigger_file_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool rawValue = (data[0] & 1) != 0;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  CTriggerFileData list;
  list.SetAt("held-before", 0x1234);
  if (rawValue) {
    list.Decode(input.c_str());  // up to the first NUL, as a property text is read
  } else {
    // The input is the plain checksum list; store it as the library would.
    std::vector<char> encoded(2 * input.size() + 1);
    FUZZ_CHECK(EncodePropertyText(input.data(), static_cast<DWORD>(input.size()), encoded.data(),
                                  static_cast<DWORD>(2 * input.size())));
    list.Decode(encoded.data());
    CTriggerFileData parsed;
    if (parsed.Parse(input.data(), input.size())) {
      FUZZ_CHECK(list.IsEqual(parsed));
    } else {
      FUZZ_CHECK(list.IsEmpty());
    }
  }

  for (const auto& [name, crc] : list) {
    FUZZ_CHECK(crc != 0);
    if (name.empty()) return 0;
  }
  CTriggerFileData again;
  again.Decode(list.Encode().c_str());
  FUZZ_CHECK(again.IsEqual(list));
  return 0;
}
