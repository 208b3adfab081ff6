// The request target of an HTTP object path.
#include <string>
#include <string_view>
#include <vector>

#include "platform/internet/ascii.h"
#include "platform/internet/internet.h"

namespace {

using internet::AsciiLower;
using internet::EqualsIgnoringAsciiCase;

constexpr char kHex[] = "0123456789ABCDEF";

// Dot segments as a URL parser knows them, written out or percent-encoded.
bool IsSingleDot(std::string_view segment) {
  return segment == "." || EqualsIgnoringAsciiCase(segment, "%2e");
}

bool IsDoubleDot(std::string_view segment) {
  return segment == ".." || EqualsIgnoringAsciiCase(segment, ".%2e") ||
         EqualsIgnoringAsciiCase(segment, "%2e.") || EqualsIgnoringAsciiCase(segment, "%2e%2e");
}

// Bytes a URL carries only percent-encoded: controls, blank, bytes beyond ASCII (unless
// `onlyExtra`), and the characters `extra` names for the part.
void AppendEncoded(std::string& out, std::string_view text, std::string_view extra,
                   bool onlyExtra = false) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool outside = !onlyExtra && (c <= 0x20 || c >= 0x7F);
    if (outside || extra.find(ch) != std::string_view::npos) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    } else {
      out.push_back(ch);
    }
  }
}

}  // namespace

std::string HttpRequestTarget(const std::string& objectPath) {
  const std::size_t question = objectPath.find('?');
  std::string path = objectPath.substr(0, question);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }

  // Segments after the leading '/' (at least one, perhaps empty); "." and ".." resolved as a URL
  // parser resolves them: a dot segment at the end leaves the path ending in '/', and ".." never
  // climbs above the root.
  std::vector<std::string_view> segments;
  std::string_view rest(path);
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  for (;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    const bool last = slash == std::string_view::npos;
    if (IsDoubleDot(segment)) {
      if (!segments.empty()) segments.pop_back();
      if (last) segments.emplace_back();
    } else if (IsSingleDot(segment)) {
      if (last) segments.emplace_back();
    } else {
      segments.push_back(segment);
    }
    if (last) break;
    rest.remove_prefix(slash + 1);
  }

  std::string target;
  target.reserve(objectPath.size() + 16);
  for (std::string_view segment : segments) {
    target.push_back('/');
    AppendEncoded(target, segment, "\"#<>`{}");
  }
  if (question != std::string::npos) {
    target.push_back('?');
    AppendEncoded(target, std::string_view(objectPath).substr(question + 1), "\"#<>'");
  }
  return target;
}

std::string HttpEscapeName(std::string_view name) {
  std::string escaped;
  escaped.reserve(name.size());
  AppendEncoded(escaped, name, "%?#", true);
  return escaped;
}
