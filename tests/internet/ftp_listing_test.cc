// The listing parsers: MLSD facts, Unix ls -l lines and DOS/IIS lines, and the incremental
// parser with its caps.
#include "platform/internet/ftp_listing.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace internet {
namespace {

struct Expected {
  std::string name;
  std::uint64_t size;
  bool directory;
};

void ExpectEntry(bool (*parse)(std::string_view, FtpListEntry*), const std::string& line,
                 const std::optional<Expected>& expected) {
  FtpListEntry entry;
  const bool parsed = parse(line, &entry);
  ASSERT_EQ(parsed, expected.has_value()) << line;
  if (!expected) return;
  EXPECT_EQ(entry.name, expected->name) << line;
  EXPECT_EQ(entry.size, expected->size) << line;
  EXPECT_EQ(entry.isDirectory, expected->directory) << line;
}

TEST(FtpListingTest, MlsdFacts) {
  const auto check = [](const std::string& line, const std::optional<Expected>& expected) {
    ExpectEntry(&ParseMlsdLine, line, expected);
  };
  check("modify=20261205201147;perm=r;size=3;type=file;unique=fe00ga721d1; a.txt\r\n",
        Expected{"a.txt", 3, false});
  check("Type=DIR;Sizd=4096;Modify=20260101000000; sub dir", Expected{"sub dir", 4096, true});
  check("type=dir;size=12;sizd=4096; d", Expected{"d", 12, true});
  // The name is everything after the first blank, blanks and semicolons included.
  check("type=file;size=9;  two; words ", Expected{" two; words ", 9, false});
  check("type=OS.unix=slink:/target;size=7; link", Expected{"link", 7, false});
  check("size=18446744073709551615; huge", Expected{"huge", 18446744073709551615u, false});
  check("type=file; unsized", Expected{"unsized", 0, false});
  check(" no facts", Expected{"no facts", 0, false});
  check("type=cdir;sizd=4096; .", std::nullopt);
  check("type=pdir; ..", std::nullopt);
  check("type=cdir; /srv/updates", std::nullopt);
  check("type=file;size=3;a.txt", std::nullopt);                  // no blank before the name
  check("type=file;size=3x; a.txt", std::nullopt);                // size not a number
  check("type=file;size=18446744073709551616; a", std::nullopt);  // beyond 64 bits
  check("type=file;garbage; a", std::nullopt);                    // a fact without '='
  check("type=file;size=1; ", std::nullopt);                      // empty name
  check("", std::nullopt);
}

TEST(FtpListingTest, UnixLines) {
  const auto check = [](const std::string& line, const std::optional<Expected>& expected) {
    ExpectEntry(&ParseUnixListLine, line, expected);
  };
  check("-rw-r--r--    1 0        0               6 Dec 05 20:02 a.txt\r\n",
        Expected{"a.txt", 6, false});
  check("drwxr-xr-x    2 ftp      ftp          4096 Jan  5  2020 archive",
        Expected{"archive", 4096, true});
  check("lrwxrwxrwx    1 0        0               5 Dec 05 20:02 link -> a.txt",
        Expected{"link", 5, false});
  check("-rw-r--r--    1 0        0               4 Dec 05 20:02 name with spaces",
        Expected{"name with spaces", 4, false});
  check("-rw-r--r--    1 0        0               4 Dec 05 20:02  leading blank",
        Expected{" leading blank", 4, false});
  check("-rw-r--r--   1 owner group 5368709120 Feb 29 2024 big.iso",
        Expected{"big.iso", 5368709120u, false});
  check("-rw-r--r-- 1 owner 1234 Mar 3 09:15 no-group.bin", Expected{"no-group.bin", 1234, false});
  check("-rw-r--r-- 1 owner group 77 2024-03-03 09:15 iso.bin", Expected{"iso.bin", 77, false});
  // An owner or group that looks like a date part does not move the name.
  check("-rw-r--r-- 1 jan 12 100 Jan 12 12:00 odd names", Expected{"odd names", 100, false});
  check("-rwsr-sr-t 1 root root 1 Jul 04 12:00 Jul 04 12:00", Expected{"Jul 04 12:00", 1, false});
  check("total 12", std::nullopt);
  check("drwxr-xr-x 2 0 0 4096 Dec 05 20:02 .", std::nullopt);
  check("drwxr-xr-x 2 0 0 4096 Dec 05 20:02 ..", std::nullopt);
  check("-rw-r--r-- 1 0 0 6 Dec 05 20:02", std::nullopt);    // no name
  check("-rw-r--r-- 1 0 0 6 Dec 35 20:02 x", std::nullopt);  // no such day
  check("-rw-r--r-- 1 0 0 6x Dec 05 20:02 x", std::nullopt);
  check("xrw-r--r-- 1 0 0 6 Dec 05 20:02 x", std::nullopt);
  check("12-05-26  07:44PM  123 dos.txt", std::nullopt);
}

TEST(FtpListingTest, DosLines) {
  const auto check = [](const std::string& line, const std::optional<Expected>& expected) {
    ExpectEntry(&ParseDosListLine, line, expected);
  };
  check("12-05-26  07:44PM       <DIR>          name", Expected{"name", 0, true});
  check("12-05-26  07:44PM       <dir>          two words", Expected{"two words", 0, true});
  check("12-05-26  07:44AM                 1234 data file.bin",
        Expected{"data file.bin", 1234, false});
  check("01-31-2026  19:05              5,368,709,120 big.iso",
        Expected{"big.iso", 5368709120u, false});
  check("01/31/26  07:05 PM  42 spaced meridiem", Expected{"spaced meridiem", 42, false});
  check("12-05-26  07:44PM       <DIR>          .", std::nullopt);
  check("12-05-26  07:44PM                 1234", std::nullopt);
  check("12-05-26  7:44PM  1234 short-time", std::nullopt);
  check("-rw-r--r-- 1 0 0 6 Dec 05 20:02 unix.txt", std::nullopt);
}

TEST(FtpListingTest, ListLinesOfEitherFormat) {
  FtpListEntry entry;
  EXPECT_TRUE(ParseListLine("-rw-r--r-- 1 0 0 6 Dec 05 20:02 unix.txt", &entry));
  EXPECT_EQ(entry.name, "unix.txt");
  EXPECT_TRUE(ParseListLine("12-05-26  07:44PM  12 dos.txt", &entry));
  EXPECT_EQ(entry.name, "dos.txt");
  EXPECT_FALSE(ParseListLine("type=file;size=3; a.txt", &entry));
}

TEST(FtpListingTest, ParserJoinsPiecesAndLineEnds) {
  const std::string text =
      "total 2\r\n"
      "-rw-r--r-- 1 0 0 6 Dec 05 20:02 a.txt\r\n"
      "garbage that names nothing\n"
      "drwxr-xr-x 2 0 0 4096 Dec 05 20:02 sub\n"
      "12-05-26  07:44PM  12 last without line end";
  FtpListingParser whole(ListingFormat::kList);
  ASSERT_TRUE(whole.Feed(text));
  ASSERT_TRUE(whole.Finish());
  FtpListingParser bytewise(ListingFormat::kList);
  for (char c : text) ASSERT_TRUE(bytewise.Feed(std::string_view(&c, 1)));
  ASSERT_TRUE(bytewise.Finish());

  for (const FtpListingParser* parser : {&whole, &bytewise}) {
    ASSERT_EQ(parser->entries().size(), 3u);
    EXPECT_EQ(parser->entries()[0].name, "a.txt");
    EXPECT_EQ(parser->entries()[1].name, "sub");
    EXPECT_TRUE(parser->entries()[1].isDirectory);
    EXPECT_EQ(parser->entries()[2].name, "last without line end");
  }
}

TEST(FtpListingTest, ParserCapsLinesAndBytes) {
  FtpListingParser parser(ListingFormat::kMlsd);
  // A line beyond the line cap is skipped whole, even where it would parse; the next one counts.
  const std::string longName(FtpListingParser::kMaxLineBytes, 'n');
  ASSERT_TRUE(parser.Feed("type=file;size=1; " + longName + "\r\n"));
  ASSERT_TRUE(parser.Feed("type=file;size=2; short\r\n"));
  ASSERT_EQ(parser.entries().size(), 1u);
  EXPECT_EQ(parser.entries()[0].name, "short");

  // A listing beyond the byte cap fails, however it arrives.
  const std::string chunk(1 << 20, 'x');
  bool ok = true;
  for (std::size_t fed = 0; ok && fed <= FtpListingParser::kMaxListingBytes; fed += chunk.size()) {
    ok = parser.Feed(chunk);
  }
  EXPECT_FALSE(ok);
  EXPECT_TRUE(parser.overflowed());
  EXPECT_FALSE(parser.Feed("type=file;size=2; more\r\n"));
  EXPECT_FALSE(parser.Finish());
}

}  // namespace
}  // namespace internet
