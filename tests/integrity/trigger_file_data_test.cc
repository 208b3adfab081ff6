// The checksum list's encoded record, which must read back as written or not at all. Its grammar
// is checked against a model by fuzz/checksum_list_fuzzer.cc, whose corpus the suite replays.
#include "integrity/trigger_file_data.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using Entries = std::vector<std::pair<std::string, DWORD>>;

CTriggerFileData ListOf(const Entries& entries) {
  CTriggerFileData list;
  for (const auto& [name, crc] : entries) list.SetAt(name, crc);
  return list;
}

TEST(TriggerFileDataTest, EncodeAndDecodeRoundTripOrLoseTheWholeList) {
  const CTriggerFileData list = ListOf({{"kb.dat", 0xFF}, {"r\x80.cfg", 0xFFFFFFFF}, {"x", 1}});
  EXPECT_EQ(list.Format(), "ff kb.dat\r\nffffffff r\x80.cfg\r\n1 x\r\n");
  CTriggerFileData decoded = ListOf({{"stale", 1}});
  decoded.Decode(list.Encode().c_str());
  EXPECT_EQ(Entries(decoded.begin(), decoded.end()), Entries(list.begin(), list.end()));
  // A CRC of 0 and a name with a space write fine but do not read back.
  for (const std::string& value : {ListOf({{"a", 1}, {"empty.dat", 0}}).Encode(),
                                   ListOf({{"a", 1}, {"two words", 2}}).Encode(), "not encoded"s}) {
    decoded = list;
    decoded.Decode(value.c_str());
    EXPECT_TRUE(decoded.IsEmpty()) << value;
  }
}

}  // namespace
