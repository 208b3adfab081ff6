// Directory search with the Windows matching rules, sorted by name in byte order.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

TEST(WildcardTest, WindowsMatchingRules) {
  struct {
    const char* wildcard;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*.*", "..", true},
      {"*.*", "no_dot", true},
      {"*.dat", "a.b.dat", true},
      {"*.dat", "file.dat.bak", false},
      {"file.*", "file", true},  // a trailing ".*" takes an empty extension
      {"f?le.txt", "FILE.TXT", true},
      {"*a*b", "xaxbxab", true},  // the second '*' has to backtrack
      {"*a*b", "xaxbxa", false},
      {"\xC3\x84*", "\xC3\x84x", true},  // bytes above 127 match themselves only
      {"\xC3\xA4*", "\xC3\x84x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.matches, WildcardMatches(c.wildcard, c.name)) << c.wildcard << " / " << c.name;
  }
}

// Every name a search yields, in order; empty when the search fails.
std::vector<std::string> Search(const std::string& pattern) {
  std::vector<std::string> found;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do found.push_back(data.cFileName);
  while (FindNextFileA(find, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(find));
  return found;
}

TEST(DirectorySearchTest, ListsSortedMatchesAndSaysWhyThereAreNone) {
  const std::size_t handlesBefore = CountOpenHandles();
  TempDir dir;
  for (const char* name : {"b.dat", "A.DAT", "readme", "sub.dat/inner.dat"}) {
    WriteFile(dir / name, "x");
  }
  using Names = std::vector<std::string>;
  EXPECT_EQ((Names{".", "..", "A.DAT", "b.dat", "readme", "sub.dat"}), Search(dir / "*"));
  EXPECT_EQ((Names{"A.DAT", "b.dat", "sub.dat"}), Search(dir / "*.dat"));
  EXPECT_EQ(Names{}, Search(dir / "*.exe"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(Names{}, Search(dir / "missing/*.*"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(Names{}, Search(dir / "readme/*.*"));  // a file on the way is no directory either
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(handlesBefore, CountOpenHandles());
}

}  // namespace
