#include "update/local_paths.h"

std::string JoinLocalPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::vector<std::string> SplitExtensions(std::string_view extensions) {
  std::vector<std::string> pieces;
  std::size_t begin = 0;
  while (begin <= extensions.size()) {
    std::size_t end = extensions.find(',', begin);
    if (end == std::string_view::npos) end = extensions.size();
    if (end > begin) pieces.emplace_back(extensions.substr(begin, end - begin));
    begin = end + 1;
  }
  return pieces;
}
