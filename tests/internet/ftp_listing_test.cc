// The listing parsers over MLSD, Unix and DOS lines, and the incremental parser with its caps.
#include "platform/internet/ftp_listing.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace internet {
namespace {

// "name|size", "|d" added for a directory; "" for a line that names no entry.
std::string Parsed(bool mlsd, const std::string& line) {
  FtpListEntry entry;
  if (!(mlsd ? ParseMlsdLine(line, &entry) : ParseListLine(line, &entry))) return "";
  return entry.name + "|" + std::to_string(entry.size) + (entry.isDirectory ? "|d" : "");
}

TEST(FtpListingTest, LinesOfEachFormat) {
  using Rows = std::vector<std::pair<const char*, const char*>>;
  const Rows mlsd = {
      {"modify=20261205201147;perm=r;size=3;type=file;unique=fe00ga721d1; a.txt\r\n", "a.txt|3"},
      {"Type=DIR;Sizd=4096;Modify=20260101000000; sub dir", "sub dir|4096|d"},
      {"Type=file;Size=7; Upper", "Upper|7"},
      // The name is everything after the first blank, blanks and semicolons included.
      {"type=file;size=9;  two; words ", " two; words |9"},
      {"size=18446744073709551615; huge", "huge|18446744073709551615"},
      {"type=file;size=18446744073709551616; a", ""},
      {"type=cdir;sizd=4096; .", ""},
      {"type=file;size=3x; a.txt", ""},
  };
  const Rows list = {
      {"-rw-r--r--    1 0        0               6 Dec 05 20:02 a.txt\r\n", "a.txt|6"},
      {"drwxr-xr-x    2 ftp      ftp          4096 Jan  5  2020 archive", "archive|4096|d"},
      {"-rw-r--r--    1 0        0    4 Dec 05 20:02  leading blank", " leading blank|4"},
      {"-rw-r--r--   1 owner group 5368709120 Feb 29 2024 big.iso", "big.iso|5368709120"},
      {"-rw-r--r-- 1 owner 1234 Mar 3 09:15 no-group.bin", "no-group.bin|1234"},
      {"-rw-r--r-- 1 0 0 7 Dec 31 23:59 last-day", "last-day|7"},
      // An owner or group that looks like a date part does not move the name.
      {"-rw-r--r-- 1 jan 12 100 Jan 12 12:00 odd names", "odd names|100"},
      {"-rwsr-sr-t 1 root root 1 Jul 04 12:00 Jul 04 12:00", "Jul 04 12:00|1"},
      {"lrwxrwxrwx 1 0 0 8 Dec 05 20:02 current.dat -> real.dat", "current.dat|8"},
      {"total 12", ""},
      {"-rw-r--r-- 1 0 0 6 Dec 35 20:02 x", ""},
      {"12-05-26  07:44PM       <dir>          two words", "two words|0|d"},
      {"01-31-2026  19:05              5,368,709,120 big.iso", "big.iso|5368709120"},
      {"01/31/26  07:05 PM  42 spaced meridiem", "spaced meridiem|42"},
      {"type=file;size=3; a.txt", ""},
  };
  for (const auto& [line, expected] : mlsd) EXPECT_EQ(Parsed(true, line), expected) << line;
  for (const auto& [line, expected] : list) EXPECT_EQ(Parsed(false, line), expected) << line;
}

TEST(FtpListingTest, ParserJoinsPiecesAndCapsLinesAndBytes) {
  // A line beyond the line cap is skipped whole, even where it would parse; the next one counts,
  // and so does a last line without a line end.
  const std::string text = "type=file;size=1; a\r\ntype=file;size=1; " +
                           std::string(FtpListingParser::kMaxLineBytes, 'n') +
                           "\r\ntype=dir; b\ngarbage\r\ntype=file;size=2; last";
  FtpListingParser parser(ListingFormat::kMlsd);
  for (char c : text) ASSERT_TRUE(parser.Feed(std::string_view(&c, 1)));
  ASSERT_TRUE(parser.Finish());
  std::string names;
  for (const FtpListEntry& entry : parser.entries()) names += entry.name + ",";
  EXPECT_EQ(names, "a,b,last,");

  FtpListingParser endless(ListingFormat::kMlsd);
  const std::string chunk(1 << 20, 'x');
  bool ok = true;
  for (std::size_t fed = 0; ok && fed <= FtpListingParser::kMaxListingBytes; fed += chunk.size()) {
    ok = endless.Feed(chunk);
  }
  EXPECT_FALSE(ok);
  EXPECT_FALSE(endless.Finish());
}

}  // namespace
}  // namespace internet
