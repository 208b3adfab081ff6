#include "platform/internet/ftp_listing.h"
#include "platform/internet/ascii.h"

#include <array>
#include <limits>

namespace internet {

namespace {

struct Token {
  std::size_t begin;
  std::size_t end;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// Splits at runs of blanks; stops after `limit` tokens, which is all any format needs to find
// where the name begins.
std::vector<Token> Tokens(std::string_view line, std::size_t limit) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size() && tokens.size() < limit) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t begin = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    tokens.push_back({begin, i});
  }
  return tokens;
}

std::string_view Text(std::string_view line, Token token) {
  return line.substr(token.begin, token.end - token.begin);
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

bool ParseSize(std::string_view text, std::uint64_t* size) {
  if (!AllDigits(text)) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

bool IsDotName(std::string_view name) {
  return name == "." || name == "..";
}

bool IsMonth(std::string_view text) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  for (std::string_view month : kMonths) {
    if (EqualsIgnoringAsciiCase(text, month)) return true;
  }
  return false;
}

bool IsDayOfMonth(std::string_view text) {
  if (text.empty() || text.size() > 2 || !AllDigits(text)) return false;
  const int day = text.size() == 1 ? text[0] - '0' : (text[0] - '0') * 10 + (text[1] - '0');
  return day >= 1 && day <= 31;
}

// "12:34" (also "1:23" and with seconds "12:34:56").
bool IsClockTime(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2) return false;
  std::string_view rest = text.substr(colon + 1);
  if (rest.size() != 2 && !(rest.size() == 5 && rest[2] == ':')) return false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (i != 2 && !IsDigit(rest[i])) return false;
  }
  return AllDigits(text.substr(0, colon));
}

bool IsYear(std::string_view text) {
  return text.size() == 4 && AllDigits(text);
}

// "2020-01-05".
bool IsIsoDate(std::string_view text) {
  return text.size() == 10 && text[4] == '-' && text[7] == '-' && AllDigits(text.substr(0, 4)) &&
         AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2));
}

bool IsUnixPermissions(std::string_view text) {
  if (text.size() < 10) return false;
  switch (text[0]) {
    case '-':
    case 'd':
    case 'l':
    case 'b':
    case 'c':
    case 'p':
    case 's':
      break;
    default:
      return false;
  }
  for (std::size_t i = 1; i < 10; ++i) {
    const char c = text[i];
    if (c != '-' && c != 'r' && c != 'w' && c != 'x' && c != 's' && c != 'S' && c != 't' &&
        c != 'T' && c != 'l' && c != 'L') {
      return false;
    }
  }
  return true;
}

// "12-05-26" or "12-05-2026" (also with '/').
bool IsDosDate(std::string_view text) {
  if (text.size() != 8 && text.size() != 10) return false;
  const char separator = text[2];
  if ((separator != '-' && separator != '/') || text[5] != separator) return false;
  return AllDigits(text.substr(0, 2)) && AllDigits(text.substr(3, 2)) && AllDigits(text.substr(6));
}

// "07:44PM", "19:44" or "07:44" followed by a separate "PM" token.
bool IsDosTime(std::string_view text, bool* separateMeridiem) {
  *separateMeridiem = false;
  if (text.size() == 7) {
    const std::string_view meridiem = text.substr(5);
    if (!EqualsIgnoringAsciiCase(meridiem, "AM") && !EqualsIgnoringAsciiCase(meridiem, "PM"))
      return false;
    text = text.substr(0, 5);
  } else if (text.size() == 5) {
    *separateMeridiem = true;
  } else {
    return false;
  }
  return IsDigit(text[0]) && IsDigit(text[1]) && text[2] == ':' && IsDigit(text[3]) &&
         IsDigit(text[4]);
}

bool SetEntry(std::string_view name, std::uint64_t size, bool directory, FtpListEntry* entry) {
  if (name.empty() || IsDotName(name)) return false;
  entry->name.assign(name);
  entry->size = size;
  entry->isDirectory = directory;
  return true;
}

}  // namespace

bool ParseMlsdLine(std::string_view line, FtpListEntry* entry) {
  line = WithoutLineEnd(line);
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  std::string_view facts = line.substr(0, space);
  const std::string_view name = line.substr(space + 1);

  bool directory = false;
  bool haveSize = false;
  std::uint64_t size = 0;
  std::uint64_t directorySize = 0;
  while (!facts.empty()) {
    const std::size_t semicolon = facts.find(';');
    const std::string_view fact = facts.substr(0, semicolon);
    facts = semicolon == std::string_view::npos ? std::string_view() : facts.substr(semicolon + 1);
    if (fact.empty()) continue;
    const std::size_t equals = fact.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = fact.substr(0, equals);
    const std::string_view value = fact.substr(equals + 1);
    if (EqualsIgnoringAsciiCase(key, "type")) {
      if (EqualsIgnoringAsciiCase(value, "cdir") || EqualsIgnoringAsciiCase(value, "pdir"))
        return false;
      directory = EqualsIgnoringAsciiCase(value, "dir");
    } else if (EqualsIgnoringAsciiCase(key, "size")) {
      if (!ParseSize(value, &size)) return false;
      haveSize = true;
    } else if (EqualsIgnoringAsciiCase(key, "sizd")) {
      if (!ParseSize(value, &directorySize)) return false;
    }
  }
  if (directory && !haveSize) size = directorySize;
  return SetEntry(name, size, directory, entry);
}

bool ParseUnixListLine(std::string_view line, FtpListEntry* entry) {
  line = WithoutLineEnd(line);
  // permissions, links, owner, group, size, month, day, time: the date is found within the
  // first few tokens, and the name is never tokenised.
  const std::vector<Token> tokens = Tokens(line, 9);
  if (tokens.size() < 5 || !IsUnixPermissions(Text(line, tokens[0]))) return false;

  for (std::size_t i = 2; i + 1 < tokens.size(); ++i) {
    std::uint64_t size = 0;
    if (!ParseSize(Text(line, tokens[i - 1]), &size)) continue;
    std::size_t lastDateToken = 0;
    if (IsMonth(Text(line, tokens[i])) && i + 2 < tokens.size() &&
        IsDayOfMonth(Text(line, tokens[i + 1])) &&
        (IsClockTime(Text(line, tokens[i + 2])) || IsYear(Text(line, tokens[i + 2])))) {
      lastDateToken = i + 2;
    } else if (IsIsoDate(Text(line, tokens[i])) && IsClockTime(Text(line, tokens[i + 1]))) {
      lastDateToken = i + 1;
    } else {
      continue;
    }
    const std::size_t nameBegin = tokens[lastDateToken].end + 1;
    if (nameBegin >= line.size()) return false;
    std::string_view name = line.substr(nameBegin);
    const char type = line[tokens[0].begin];
    if (type == 'l') {
      const std::size_t arrow = name.find(" -> ");
      if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    }
    return SetEntry(name, size, type == 'd', entry);
  }
  return false;
}

bool ParseDosListLine(std::string_view line, FtpListEntry* entry) {
  line = WithoutLineEnd(line);
  const std::vector<Token> tokens = Tokens(line, 4);
  if (tokens.size() < 3 || !IsDosDate(Text(line, tokens[0]))) return false;
  bool separateMeridiem = false;
  if (!IsDosTime(Text(line, tokens[1]), &separateMeridiem)) return false;
  std::size_t sizeToken = 2;
  if (separateMeridiem && tokens.size() > 3) {
    const std::string_view meridiem = Text(line, tokens[2]);
    if (EqualsIgnoringAsciiCase(meridiem, "AM") || EqualsIgnoringAsciiCase(meridiem, "PM"))
      sizeToken = 3;
  }
  if (sizeToken >= tokens.size()) return false;

  const std::string_view sizeText = Text(line, tokens[sizeToken]);
  bool directory = false;
  std::uint64_t size = 0;
  if (EqualsIgnoringAsciiCase(sizeText, "<DIR>")) {
    directory = true;
  } else {
    std::string digits;
    for (char c : sizeText) {
      if (c != ',') digits.push_back(c);
    }
    if (!ParseSize(digits, &size)) return false;
  }
  std::size_t nameBegin = tokens[sizeToken].end;
  while (nameBegin < line.size() && IsBlank(line[nameBegin])) ++nameBegin;
  return SetEntry(line.substr(nameBegin), size, directory, entry);
}

bool ParseListLine(std::string_view line, FtpListEntry* entry) {
  return ParseUnixListLine(line, entry) || ParseDosListLine(line, entry);
}

void FtpListingParser::EndLine() {
  if (!skippingLongLine_ && !line_.empty()) {
    FtpListEntry entry;
    const bool ok = format_ == ListingFormat::kMlsd ? ParseMlsdLine(line_, &entry)
                                                    : ParseListLine(line_, &entry);
    if (ok) {
      if (entries_.size() >= kMaxEntries) {
        overflowed_ = true;
      } else {
        entries_.push_back(std::move(entry));
      }
    }
  }
  line_.clear();
  skippingLongLine_ = false;
}

bool FtpListingParser::Feed(std::string_view bytes) {
  if (overflowed_) return false;
  if (bytes.size() > kMaxListingBytes - total_) {
    overflowed_ = true;
    return false;
  }
  total_ += bytes.size();
  while (!bytes.empty() && !overflowed_) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!skippingLongLine_) {
      if (line_.size() + piece.size() > kMaxLineBytes) {
        skippingLongLine_ = true;
        line_.clear();
      } else {
        line_.append(piece);
      }
    }
    if (newline == std::string_view::npos) break;
    EndLine();
    bytes.remove_prefix(newline + 1);
  }
  return !overflowed_;
}

bool FtpListingParser::Finish() {
  if (!overflowed_) EndLine();
  return !overflowed_;
}

}  // namespace internet
