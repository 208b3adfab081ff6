// The head of an HTTP response as libcurl hands its lines over, and the values read from it.
// Pure parsing, testable without a network. Internal to the layer.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_HTTP_HEAD_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_HTTP_HEAD_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace internet {

// Collects the response's head from the header lines of one request. libcurl hands over every
// head it receives: interim ones (1xx) and those of the redirects it follows come first and are
// passed over; the first other head is the response's own. A redirect is followed (with
// `followRedirects`) exactly when libcurl follows it: a 3xx head with a non-empty Location.
class HttpHeadParser {
 public:
  enum class Status { kIncomplete, kComplete, kMalformed };

  explicit HttpHeadParser(bool followRedirects) : followRedirects_(followRedirects) {}

  // One line as received, its CR LF included or not. Lines after the response's head (the
  // trailers of a chunked body) change nothing. kMalformed for a status line that is not one,
  // and for a head beyond the caps (kMaxHeadLines lines, kMaxHeadBytes bytes in all).
  Status AddLine(std::string_view line);

  bool complete() const { return complete_; }
  // The status of the response's head; 0 before it is complete.
  int statusCode() const { return complete_ ? code_ : 0; }
  // Whether the head of a followed redirect was passed over.
  bool redirected() const { return redirected_; }
  // The first value of header `name` (compared without regard to case) in the response's head,
  // without surrounding blanks; nullopt when the head has no such header or is not complete.
  std::optional<std::string> Header(std::string_view name) const;

  static constexpr std::size_t kMaxHeadLines = 1000;
  static constexpr std::size_t kMaxHeadBytes = 256 * 1024;

 private:
  bool followRedirects_;
  bool inHead_ = false;  // a status line has begun a head
  bool complete_ = false;
  bool malformed_ = false;
  bool redirected_ = false;
  int code_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::size_t lines_ = 0;
  std::size_t bytes_ = 0;
};

// The status code of a status line such as "HTTP/1.1 200 OK"; nullopt when it is not one.
std::optional<int> ParseStatusLine(std::string_view line);

// A Content-Length value: decimal digits only, blanks around them allowed. nullopt for anything
// else, and for a value beyond 2^64 - 1.
std::optional<std::uint64_t> ParseContentLength(std::string_view value);

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_HTTP_HEAD_H_
