// The three listing line parsers (MLSD facts, Unix `ls -l`, DOS/IIS) over one line from a hostile
// server. An entry they accept is a real name taken from the line as it stands (never empty, "."
// or "..", never carrying the line end), and a line reads the same with or without its line end.
// A CR inside the line is an ordinary byte: a link's name may end in one before its " -> ".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/internet/ftp_listing.h"

namespace {

using internet::FtpListEntry;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  // The listing parser hands over lines without their LF; trailing CRs and LFs are the line end.
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
  return 0;
}
