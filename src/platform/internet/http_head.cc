#include "platform/internet/http_head.h"
#include "platform/internet/ascii.h"

#include <limits>

namespace internet {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<int> ParseStatusLine(std::string_view line) {
  line = WithoutLineEnd(line);
  if (line.substr(0, 5) != "HTTP/") return std::nullopt;
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || space == 5) return std::nullopt;
  for (char c : line.substr(5, space - 5)) {
    if (!IsDigit(c) && c != '.') return std::nullopt;
  }
  const std::string_view rest = line.substr(space + 1);
  if (rest.size() < 3 || !IsDigit(rest[0]) || !IsDigit(rest[1]) || !IsDigit(rest[2])) {
    return std::nullopt;
  }
  if (rest.size() > 3 && rest[3] != ' ') return std::nullopt;
  return (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  value = Trim(value);
  if (value.empty()) return std::nullopt;
  std::uint64_t number = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (char c : value) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (number > (kMax - digit) / 10) return std::nullopt;
    number = number * 10 + digit;
  }
  return number;
}

HttpHeadParser::Status HttpHeadParser::AddLine(std::string_view line) {
  if (complete_) return Status::kComplete;
  if (malformed_) return Status::kMalformed;
  ++lines_;
  bytes_ += line.size();
  if (lines_ > kMaxHeadLines || bytes_ > kMaxHeadBytes) {
    malformed_ = true;
    return Status::kMalformed;
  }
  const std::string_view text = WithoutLineEnd(line);

  if (!inHead_) {
    if (text.empty()) return Status::kIncomplete;  // nothing has begun yet
    const std::optional<int> code = ParseStatusLine(text);
    if (!code) {
      malformed_ = true;
      return Status::kMalformed;
    }
    inHead_ = true;
    code_ = *code;
    headers_.clear();
    return Status::kIncomplete;
  }

  if (!text.empty()) {
    // libcurl hands over an interim (1xx) head without its blank line: the next status line
    // begins the response's own head.
    if (code_ >= 100 && code_ < 200) {
      if (const std::optional<int> code = ParseStatusLine(text)) {
        code_ = *code;
        headers_.clear();
        return Status::kIncomplete;
      }
    }
    if (IsBlank(text.front())) {
      // An obsolete folded continuation of the header before.
      if (!headers_.empty()) headers_.back().second.append(" ").append(Trim(text));
      return Status::kIncomplete;
    }
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      headers_.emplace_back(std::string(Trim(text.substr(0, colon))),
                            std::string(Trim(text.substr(colon + 1))));
    }
    return Status::kIncomplete;
  }

  // The blank line that ends a head.
  inHead_ = false;
  if (code_ >= 100 && code_ < 200) return Status::kIncomplete;
  if (followRedirects_ && code_ >= 300 && code_ < 400) {
    for (const auto& [name, value] : headers_) {
      if (EqualsIgnoringAsciiCase(name, "Location")) {
        if (value.empty()) continue;  // libcurl passes over an empty Location
        redirected_ = true;
        return Status::kIncomplete;
      }
    }
  }
  complete_ = true;
  return Status::kComplete;
}

std::optional<std::string> HttpHeadParser::Header(std::string_view name) const {
  if (!complete_) return std::nullopt;
  for (const auto& [header, value] : headers_) {
    if (EqualsIgnoringAsciiCase(header, name)) return value;
  }
  return std::nullopt;
}

}  // namespace internet
