// The checksum list: its grammar as the reader takes it (pairs, line ends, strtoul values, CRC 0
// rejected), and the encoded record that must read back as written or not at all.
#include "integrity/trigger_file_data.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

TEST(TriggerFileDataTest, ParseFollowsTheChecksumListGrammar) {
  // Text, whether it is a valid list, and the entries read: a faulty list keeps those before the
  // fault. CRC values convert as strtoul in base 16 does, and must take the whole token.
  // clang-format off
  const std::tuple<std::string, bool, Entries> cases[] = {
      {"\v\f ff kb.dat\r\nffffffff rules.cfg\r\n \t", true,
       {{"kb.dat", 0xFF}, {"rules.cfg", 0xFFFFFFFF}}},
      {"\n  CBF43926\tA.DAT\n1 a.dat\n1 a\r\n2 a\r\n", true,
       {{"A.DAT", 0xCBF43926}, {"a", 2}, {"a.dat", 1}}},
      {"ff\0zz a\x80\xFF\0tail\n"s, true, {{"a\x80\xFF", 0xFF}}},  // a NUL ends a token
      {"0x1f a 0X2F b +3 c -1 d -ffffffff e\v123456789 f\f-100000000 g 0000000000000000001 h\n"
       "fffffffffffffffffffff i\n", true, {{"a", 0x1F}, {"b", 0x2F}, {"c", 3}, {"d", 0xFFFFFFFF},
       {"e", 1}, {"f", 0xFFFFFFFF}, {"g", 0xFFFFFFFF}, {"h", 1}, {"i", 0xFFFFFFFF}}},
      {"1 a\r\n2 b", false, {{"a", 1}}},    // no line end after the last name
      {"1 a\r\n2\r\n", false, {{"a", 1}}},  // lone CRC token
      {"1 a\n12g4 b\n3 c\n", false, {{"a", 1}}},
      {"1 a\n0 b\n3 c\n", false, {{"a", 1}}},  // CRC 0
      {"0x a\n", false, {}}, {"- a\n", false, {}}, {"\0 a\n"s, false, {}},
  };
  // clang-format on
  for (const auto& [text, valid, entries] : cases) {
    CTriggerFileData list = ListOf({{"stale", 1}});
    EXPECT_EQ(list.Parse(text.data(), text.size()), valid) << text;
    EXPECT_EQ(Entries(list.begin(), list.end()), entries) << text;
  }
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
