#include <string>
#include <string_view>

#include "platform/files.h"

namespace {

char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' and '?' over bytes, without regard to ASCII case. On a mismatch the last '*' takes one byte
// more; that backtracking alone suffices, so the time stays within the product of the lengths.
bool GlobMatches(std::string_view wildcard, std::string_view name) {
  std::size_t w = 0;
  std::size_t n = 0;
  std::size_t starAt = std::string_view::npos;
  std::size_t starName = 0;
  while (n < name.size()) {
    if (w < wildcard.size() && wildcard[w] == '*') {
      starAt = w++;
      starName = n;
    } else if (w < wildcard.size() &&
               (wildcard[w] == '?' || FoldCase(wildcard[w]) == FoldCase(name[n]))) {
      ++w;
      ++n;
    } else if (starAt != std::string_view::npos) {
      w = starAt + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (w < wildcard.size() && wildcard[w] == '*') ++w;
  return w == wildcard.size();
}

}  // namespace

bool WildcardMatches(const std::string& wildcard, const std::string& name) {
  if (wildcard == "*" || wildcard == "*.*") return true;
  if (GlobMatches(wildcard, name)) return true;
  // Windows lets a trailing ".*" match an empty extension too: "readme.*" finds "readme".
  std::string_view view(wildcard);
  if (view.size() >= 2 && view.substr(view.size() - 2) == ".*") {
    return GlobMatches(view.substr(0, view.size() - 2), name);
  }
  return false;
}
