// The server address forms: a plain host, or ftp://, ftps://, http:// and https:// URLs.
#include <string_view>

#include "platform/internet/ascii.h"
#include "platform/internet/internet.h"

namespace {

using internet::AsciiLower;
using internet::EqualsIgnoringAsciiCase;

// Host names and dotted IPv4 addresses: letters, digits, '-', '.', '_'. Anything else (blanks,
// '@' of credentials, brackets, percent signs) would reach the resolver or the URL as something
// other than a host.
bool IsHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool ParsePort(std::string_view text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool ParseServerAddress(const std::string& text, ServerAddress* address) {
  if (address == nullptr) return false;
  std::string_view rest = text;
  ServerAddress parsed;
  const std::size_t separator = rest.find("://");
  if (separator == std::string_view::npos) {
    if (!IsHost(rest)) return false;
    parsed.host.assign(rest);
    *address = parsed;
    return true;
  }

  const std::string_view scheme = rest.substr(0, separator);
  if (EqualsIgnoringAsciiCase(scheme, "ftp")) {
    parsed.scheme = ServerScheme::kFtp;
  } else if (EqualsIgnoringAsciiCase(scheme, "ftps")) {
    parsed.scheme = ServerScheme::kFtps;
  } else if (EqualsIgnoringAsciiCase(scheme, "http")) {
    parsed.scheme = ServerScheme::kHttp;
  } else if (EqualsIgnoringAsciiCase(scheme, "https")) {
    parsed.scheme = ServerScheme::kHttps;
  } else {
    return false;
  }
  rest.remove_prefix(separator + 3);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

  const std::size_t colon = rest.find(':');
  const std::string_view host = rest.substr(0, colon);
  if (!IsHost(host)) return false;
  if (colon != std::string_view::npos && !ParsePort(rest.substr(colon + 1), &parsed.port)) {
    return false;
  }
  parsed.host.assign(host);
  *address = parsed;
  return true;
}
