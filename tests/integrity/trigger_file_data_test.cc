#include "integrity/trigger_file_data.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using Entries = std::vector<std::pair<std::string, DWORD>>;

Entries EntriesOf(const CTriggerFileData& list) {
  return Entries(list.begin(), list.end());
}

CTriggerFileData ListOf(const Entries& entries) {
  CTriggerFileData list;
  for (const auto& [name, crc] : entries) list.SetAt(name, crc);
  return list;
}

bool Parse(CTriggerFileData& list, const std::string& text) {
  return list.Parse(text.data(), text.size());
}

TEST(TriggerFileDataTest, ExactNamesCopyAndEquality) {
  CTriggerFileData list = ListOf({{"kb.dat", 1}, {"KB.DAT", 2}, {"kb.dat", 3}});
  EXPECT_EQ(EntriesOf(list), (Entries{{"KB.DAT", 2}, {"kb.dat", 3}}));
  DWORD crc = 0;
  EXPECT_FALSE(list.Lookup("Kb.dat", crc));

  CTriggerFileData small = ListOf({{"a", 1}});
  CTriggerFileData large = ListOf({{"a", 1}, {"b", 2}});
  EXPECT_TRUE(CTriggerFileData().IsEqual(CTriggerFileData()));
  EXPECT_FALSE(small.IsEqual(large));
  EXPECT_FALSE(large.IsEqual(small));
  EXPECT_FALSE(small.IsEqual(ListOf({{"a", 2}})));

  list.Copy(large);  // replaces, never merges
  EXPECT_TRUE(list.IsEqual(large));
  list.Copy(CTriggerFileData());
  EXPECT_TRUE(list.IsEmpty());
  list = large;
  list.Copy(list);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(TriggerFileDataTest, FormatWritesOneLinePerEntry) {
  std::string text = ListOf({{"kb.dat", 0xFF}, {"rules.cfg", 0xFFFFFFFF}}).Format();
  EXPECT_EQ(text.size(), 31u);
  EXPECT_EQ(text, "ff kb.dat\r\nffffffff rules.cfg\r\n");
  EXPECT_EQ(ListOf({{"e", 0}, {std::string("a\0b", 3), 0xCBF43926}}).Format(),
            "cbf43926 a\r\n0 e\r\n");
  EXPECT_EQ(CTriggerFileData().Format(), "");
}

TEST(TriggerFileDataTest, ParseAcceptsTheReadersGrammar) {
  struct Case {
    std::string text;
    Entries entries;
  } cases[] = {
      {"", {}},
      {" \t\r\n\v\f", {}},
      {"ff kb.dat\r\nffffffff rules.cfg\r\n", {{"kb.dat", 0xFF}, {"rules.cfg", 0xFFFFFFFF}}},
      {"\n\n  CBF43926\tA.DAT\n", {{"A.DAT", 0xCBF43926}}},
      {"0x1f a 0X2F b +3 c -1 d ", {{"a", 0x1F}, {"b", 0x2F}, {"c", 3}, {"d", 0xFFFFFFFF}}},
      {"-ffffffff a\v123456789 b\f", {{"a", 1}, {"b", 0xFFFFFFFF}}},
      {"1 a\r\n2 a\r\n", {{"a", 2}}},
      {"ff\0zz a\x80\xFF\0tail\n"s, {{"a\x80\xFF", 0xFF}}},
  };
  for (const Case& c : cases) {
    CTriggerFileData list = ListOf({{"stale", 1}});
    EXPECT_TRUE(Parse(list, c.text)) << c.text;
    EXPECT_EQ(EntriesOf(list), c.entries) << c.text;
  }
}

TEST(TriggerFileDataTest, ParseRejectsFaultsKeepingThePairsBefore) {
  struct Case {
    std::string text;
    Entries kept;
  } cases[] = {
      {"1 a\r\n2 b", {{"a", 1}}},          // no line end after the last name
      {"1 a\r\n2\r\n", {{"a", 1}}},        // lone CRC token
      {"1 a\n12g4 b\n3 c\n", {{"a", 1}}},  // not hexadecimal
      {"1 a\n0 b\n3 c\n", {{"a", 1}}},     // CRC 0
      {"0x a\n", {}},
      {"\0 a\n"s, {}},  // a number that ends at once
  };
  for (const Case& c : cases) {
    CTriggerFileData list;
    EXPECT_FALSE(Parse(list, c.text)) << c.text;
    EXPECT_EQ(EntriesOf(list), c.kept) << c.text;
  }
  CTriggerFileData list = ListOf({{"kept", 1}});
  EXPECT_FALSE(list.Parse(nullptr, 10));
  EXPECT_EQ(list.GetCount(), 1u);
}

TEST(TriggerFileDataTest, ParseHexValueFollowsStrtoul) {
  // clang-format off
  const std::pair<const char*, DWORD> cases[] = {
      {"ff", 0xFF}, {"DeadBeef", 0xDEADBEEF}, {"0xff", 0xFF}, {"+0X10", 0x10}, {"-1", 0xFFFFFFFF},
      {"-ffffffff", 1}, {"100000000", 0xFFFFFFFF}, {"-100000000", 0xFFFFFFFF},
      {"fffffffffffffffffffff", 0xFFFFFFFF}, {"0000000000000000000000001", 1},
      {"", 0}, {"-", 0}, {"0x", 0}, {"12g4", 0}, {"ff ", 0},
  };
  // clang-format on
  for (const auto& [token, value] : cases) EXPECT_EQ(ParseHexValue(token), value) << token;
  EXPECT_EQ(ParseHexValue(nullptr), 0u);
}

TEST(TriggerFileDataTest, DecodeGivesBackWhatEncodeWroteOrNothing) {
  CTriggerFileData list = ListOf({{"kb.dat", 0xFF}, {"r\x80.cfg", 0xFFFFFFFF}, {"x", 1}});
  CTriggerFileData decoded = ListOf({{"stale", 1}});
  decoded.Decode(list.Encode().c_str());
  EXPECT_TRUE(decoded.IsEqual(list));
  EXPECT_EQ(CTriggerFileData().Encode(), "");

  // A CRC of 0 and a name with a space write fine but do not read back: the whole list is lost.
  const std::string invalid[] = {ListOf({{"a", 1}, {"empty.dat", 0}}).Encode(),
                                 ListOf({{"a", 1}, {"two words", 2}}).Encode(), "not an encoding"};
  for (const std::string& value : invalid) {
    decoded = list;
    decoded.Decode(value.c_str());
    EXPECT_TRUE(decoded.IsEmpty()) << value;
  }
  decoded = list;
  decoded.Decode(nullptr);
  EXPECT_TRUE(decoded.IsEmpty());
}

}  // namespace
