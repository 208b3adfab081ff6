// A fresh directory under $TMPDIR (or /tmp) for one test, removed with everything in it at the
// end, and small file helpers for tests.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_TEMP_DIR_H_
#define FILEREPOSITORY_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>
#include <vector>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` to `path` (creating or truncating), making missing parent directories.
void WriteFile(const std::string& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// The lines of `path` without their LF.
std::vector<std::string> ReadLines(const std::string& path);
bool FileExists(const std::string& path);
void MakeDirectories(const std::string& path);
void RemoveAll(const std::string& path);

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_TEMP_DIR_H_
