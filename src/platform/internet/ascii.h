// ASCII case folding for protocol text (FTP facts and month names, HTTP header names, URL
// schemes and escapes): the protocols fold ASCII letters only, whatever the locale.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_ASCII_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_ASCII_H_

#include <cstddef>
#include <string_view>

namespace internet {

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_ASCII_H_
