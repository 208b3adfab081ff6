// FtpListingParser, the incremental reading of a listing as it arrives from a hostile server:
// however the bytes are cut into pieces, the entries are those of its lines one by one, a line
// beyond the line cap names nothing, and a last line without its line end still counts. The first
// line can be stretched to either side of the line cap, which a fuzzer would not reach by itself.
//
// Each line also goes through the three line parsers (MLSD facts, Unix `ls -l`, DOS/IIS): an entry
// they accept is a real name taken from the line as it stands (never empty, "." or "..", never
// carrying the line end), and a line reads the same with or without its line end. A CR inside the
// line is an ordinary byte: a link's name may end in one before its " -> ".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "platform/internet/ftp_listing.h"

namespace {

using internet::FtpListEntry;
using internet::FtpListingParser;
using internet::ListingFormat;

using LineParser = bool (*)(std::string_view, FtpListEntry*);

bool SameEntry(const FtpListEntry& a, const FtpListEntry& b) {
  return a.name == b.name && a.size == b.size && a.isDirectory == b.isDirectory;
}

// Parses `line` as given and with a CR LF added, and returns what the bare line gave.
bool ParseBothWays(LineParser parse, std::string_view line, FtpListEntry* entry) {
  const bool parsed = parse(line, entry);
  FtpListEntry withLineEnd;
  const bool parsedWithLineEnd = parse(std::string(line) + "\r\n", &withLineEnd);
  FUZZ_CHECK(parsed == parsedWithLineEnd);
  if (parsed) FUZZ_CHECK(SameEntry(*entry, withLineEnd));
  return parsed;
}

void CheckName(std::string_view line, const FtpListEntry& entry) {
  FUZZ_CHECK(!entry.name.empty() && entry.name != "." && entry.name != "..");
  FUZZ_CHECK(line.find(entry.name) != std::string_view::npos);
}

// The properties of the line parsers on one line of a listing (without its LF).
void CheckLineParsers(std::string_view line) {
  // Trailing CRs and LFs are the line end.
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  FtpListEntry mlsd;
  if (ParseBothWays(internet::ParseMlsdLine, line, &mlsd)) {
    CheckName(line, mlsd);
    // The name is all that follows the first blank: blanks and semicolons in it are kept.
    FUZZ_CHECK(line.substr(line.find(' ') + 1) == mlsd.name);
  }

  FtpListEntry unixEntry;
  const bool isUnix = ParseBothWays(internet::ParseUnixListLine, line, &unixEntry);
  if (isUnix) {
    CheckName(line, unixEntry);
    // The name runs to the end of the line, but for a link's " -> target".
    const bool atEnd = line.size() >= unixEntry.name.size() &&
                       line.substr(line.size() - unixEntry.name.size()) == unixEntry.name;
    FUZZ_CHECK(atEnd || line.find(unixEntry.name + " -> ") != std::string_view::npos);
    const std::size_t typeAt = line.find_first_not_of(" \t");
    FUZZ_CHECK(unixEntry.isDirectory == (line[typeAt] == 'd'));
  }

  FtpListEntry dosEntry;
  const bool isDos = ParseBothWays(internet::ParseDosListLine, line, &dosEntry);
  if (isDos) {
    CheckName(line, dosEntry);
    FUZZ_CHECK(line.substr(line.size() - dosEntry.name.size()) == dosEntry.name);
    if (dosEntry.isDirectory) FUZZ_CHECK(dosEntry.size == 0);
  }

  // LIST lines: the Unix form first, the DOS form otherwise.
  FtpListEntry list;
  FUZZ_CHECK(internet::ParseListLine(line, &list) == (isUnix || isDos));
  if (isUnix) {
    FUZZ_CHECK(SameEntry(list, unixEntry));
  } else if (isDos) {
    FUZZ_CHECK(SameEntry(list, dosEntry));
  }
}

bool SameEntries(const std::vector<FtpListEntry>& a, const std::vector<FtpListEntry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameEntry);
}

std::vector<FtpListEntry> LineByLine(ListingFormat format, std::string_view listing) {
  std::vector<FtpListEntry> entries;
  while (!listing.empty()) {
    const std::size_t newline = listing.find('\n');
    const std::string_view line = listing.substr(0, newline);
    listing.remove_prefix(newline == std::string_view::npos ? listing.size() : newline + 1);
    if (line.empty() || line.size() > FtpListingParser::kMaxLineBytes) continue;
    CheckLineParsers(line);
    FtpListEntry entry;
    const bool ok = format == ListingFormat::kMlsd ? internet::ParseMlsdLine(line, &entry)
                                                   : internet::ParseListLine(line, &entry);
    if (ok) entries.push_back(entry);
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const ListingFormat format = input.ConsumeBool() ? ListingFormat::kMlsd : ListingFormat::kList;
  const std::size_t stretchTo = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(
                                                          FtpListingParser::kMaxLineBytes - 4,
                                                          FtpListingParser::kMaxLineBytes + 4)
                                                    : 0;
  const std::uint32_t pieceSeed = input.ConsumeIntegral<std::uint32_t>();
  std::string listing = input.ConsumeRemainingBytesAsString();

  // Stretch the first line to `stretchTo` bytes (its LF not counted) by repeating the byte
  // before its line end, which lengthens the name of a line that names an entry.
  const std::size_t firstEnd = std::min(listing.find('\n'), listing.size());
  if (stretchTo > firstEnd && firstEnd > 0) {
    std::size_t at = firstEnd;
    while (at > 1 && listing[at - 1] == '\r') --at;
    listing.insert(at, stretchTo - firstEnd, listing[at - 1]);
  }

  FtpListingParser parser(format);
  std::string_view rest(listing);
  std::uint32_t state = pieceSeed | 1;
  while (!rest.empty()) {
    state ^= state << 13;  // xorshift: reproducible piece sizes from the input alone
    state ^= state >> 17;
    state ^= state << 5;
    const std::size_t piece = std::min<std::size_t>(rest.size(), 1 + state % 300);
    FUZZ_CHECK(parser.Feed(rest.substr(0, piece)));
    rest.remove_prefix(piece);
  }
  FUZZ_CHECK(parser.Finish());
  FUZZ_CHECK(!parser.overflowed());
  FUZZ_CHECK(SameEntries(parser.entries(), LineByLine(format, listing)));
  for (const FtpListEntry& entry : parser.entries()) {
    FUZZ_CHECK(entry.name.size() < FtpListingParser::kMaxLineBytes);
  }
  return 0;
}
