// FtpListingParser, the incremental reading of a listing as it arrives from a hostile server:
// however the bytes are cut into pieces, the entries are those of its lines one by one, a line
// beyond the line cap names nothing, and a last line without its line end still counts. The first
// line can be stretched to either side of the line cap, which a fuzzer would not reach by itself.
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

bool SameEntries(const std::vector<FtpListEntry>& a, const std::vector<FtpListEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].size != b[i].size || a[i].isDirectory != b[i].isDirectory) {
      return false;
    }
  }
  return true;
}

std::vector<FtpListEntry> LineByLine(ListingFormat format, std::string_view listing) {
  std::vector<FtpListEntry> entries;
  while (!listing.empty()) {
    const std::size_t newline = listing.find('\n');
    const std::string_view line = listing.substr(0, newline);
    listing.remove_prefix(newline == std::string_view::npos ? listing.size() : newline + 1);
    if (line.empty() || line.size() > FtpListingParser::kMaxLineBytes) continue;
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
