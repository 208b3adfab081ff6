// FtpListingParser, the incremental reading of a listing as it arrives from a hostile server:
// however the bytes are cut into pieces, the entries are those of its lines one by one, a line
// beyond the line cap names nothing, and a last line without its line end still counts. The first
// line can be stretched to either side of the line cap, which a fuzzer would not reach by itself.
//
// Each line also goes through the three line parsers (MLSD facts, Unix `ls -l`, DOS/IIS), and what
// they return is judged by a small model of each grammar, written apart from the parsers: which
// lines name an entry, and its name, size and directory flag. The line end is not part of a line;
// a CR inside it is an ordinary byte (a link's name may end in one before its " -> ").
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
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

std::optional<FtpListEntry> Parse(LineParser parse, std::string_view line) {
  FtpListEntry entry;
  if (!parse(line, &entry)) return std::nullopt;
  return entry;
}

// A small model of the three line grammars, to judge what the parsers return: regular
// expressions for the LIST forms, the MLSD facts one by one. nullopt: the line names no entry.
using Expected = std::optional<FtpListEntry>;

Expected Named(std::string name, std::uint64_t size, bool directory) {
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  return FtpListEntry{std::move(name), size, directory};
}

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Lower(std::string text) {
  for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

Expected MlsdModel(std::string_view line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::istringstream facts{std::string(line.substr(0, blank))};
  bool directory = false, listedDirectory = false;
  std::optional<std::uint64_t> size, sizd;
  for (std::string fact; std::getline(facts, fact, ';');) {
    const std::size_t equals = fact.find('=');
    if (fact.empty()) continue;
    if (equals == std::string::npos || equals == 0) return std::nullopt;
    const std::string key = Lower(fact.substr(0, equals)), value = Lower(fact.substr(equals + 1));
    if (key == "type") {
      listedDirectory |= value == "cdir" || value == "pdir";
      directory = value == "dir";
    }
    if (key == "size" && !(size = Number(value))) return std::nullopt;
    if (key == "sizd" && !(sizd = Number(value))) return std::nullopt;
  }
  if (listedDirectory) return std::nullopt;
  return Named(std::string(line.substr(blank + 1)), size.value_or(directory ? sizd.value_or(0) : 0),
               directory);
}

// Unix: type and permissions, at least five words, up to five words before the size (four
// before a month form), the size, the date; one blank, then the name. `unjudged` for a size
// beyond 2^64 - 1, where the parser looks on for another.
Expected UnixModel(const std::string& line, bool* unjudged) {
  static const std::string kTime = "\\d{1,2}:\\d\\d(:\\d\\d)?";
  static const std::string kMonth =
      "[Jj][Aa][Nn]|[Ff][Ee][Bb]|[Mm][Aa][Rr]|[Aa][Pp][Rr]|[Mm][Aa][Yy]|[Jj][Uu][Nn]|[Jj][Uu][Ll]|"
      "[Aa][Uu][Gg]|[Ss][Ee][Pp]|[Oo][Cc][Tt]|[Nn][Oo][Vv]|[Dd][Ee][Cc]";
  static const std::regex kUnix(
      "^(?=([ \\t]*[^ \\t]+){4}[ \\t]*[^ \\t])[ \\t]*([-dlbcps])[-rwxsStTlL]{9}[^ \\t]*"
      "((?:[ \\t]+[^ \\t]+){0,5}?)[ \\t]+(\\d+)[ \\t]+(?:(" +
      kMonth + ")[ \\t]+(0?[1-9]|[12]\\d|3[01])[ \\t]+(?:" + kTime +
      "|\\d{4})|\\d{4}-\\d\\d-\\d\\d[ \\t]+" + kTime + ")(?:[ \\t]([\\s\\S]*))?$");
  static const std::regex kWord("[^ \\t]+");
  std::smatch m;
  if (!std::regex_match(line, m, kUnix)) return std::nullopt;
  const auto before =
      std::distance(std::sregex_iterator(m[3].first, m[3].second, kWord), std::sregex_iterator());
  if (m[5].matched && before == 5) return std::nullopt;
  const std::optional<std::uint64_t> size = Number(m[4].str());
  *unjudged = !size;
  std::string name = m[9];
  if (m[2] == "l") name = name.substr(0, name.find(" -> "));
  return Named(name, size.value_or(0), m[2] == "d");
}

// DOS: date, time with its AM/PM attached or apart, <DIR> or a size with commas, the name.
Expected DosModel(const std::string& line) {
  static const std::regex kDos(
      "^[ \\t]*\\d\\d([-/])\\d\\d\\1(?:\\d\\d){1,2}[ \\t]+\\d\\d:\\d\\d(?:[AaPp][Mm]|[ \\t]+[AaPp]"
      "[Mm](?=[ \\t]+[^ \\t]))?[ \\t]+([^ \\t]+)(?:[ \\t]+([\\s\\S]*))?$");
  std::smatch m;
  if (!std::regex_match(line, m, kDos)) return std::nullopt;
  std::string size = m[2];
  if (Lower(size) == "<dir>") return Named(m[3], 0, true);
  std::erase(size, ',');
  const std::optional<std::uint64_t> bytes = Number(size);
  if (!bytes) return std::nullopt;
  return Named(m[3], *bytes, false);
}

void CheckModel(const std::optional<FtpListEntry>& parsed, const Expected& expected) {
  FUZZ_CHECK(parsed.has_value() == expected.has_value());
  if (parsed) FUZZ_CHECK(SameEntry(*parsed, *expected));
}

// The line parsers on one line of a listing (without its LF), given with a CR LF, against the
// model of the line without it, for lines of up to 4 KiB (longer ones would take the regular
// expressions too deep).
void CheckLineParsers(std::string_view line) {
  // Trailing CRs and LFs are the line end.
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const std::string withLineEnd = std::string(line) + "\r\n";
  const std::optional<FtpListEntry> unixEntry = Parse(internet::ParseUnixListLine, withLineEnd);
  const std::optional<FtpListEntry> dos = Parse(internet::ParseDosListLine, withLineEnd);
  bool unjudged = false;
  if (line.size() <= 4096) {
    CheckModel(Parse(internet::ParseMlsdLine, withLineEnd), MlsdModel(line));
    const Expected unixModel = UnixModel(std::string(line), &unjudged);
    if (!unjudged) CheckModel(unixEntry, unixModel);
    CheckModel(dos, DosModel(std::string(line)));
  }
  // LIST lines: the Unix form first, the DOS form otherwise.
  CheckModel(Parse(internet::ParseListLine, line), unixEntry ? unixEntry : dos);
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
  FUZZ_CHECK(std::ranges::equal(parser.entries(), LineByLine(format, listing), SameEntry));
  return 0;
}
