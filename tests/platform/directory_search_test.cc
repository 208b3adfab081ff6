#include <dirent.h>
#include <errno.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "scoped_posix_calls.h"
#include "support/temp_dir.h"

namespace {

using testing_support::MakeDirectories;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(WildcardTest, WindowsMatchingRules) {
  struct {
    const char* wildcard;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*", "anything.at.all", true},
      {"*", ".", true},
      {"*.*", "..", true},
      {"*.*", "no_dot", true},
      {"*.dat", "file.DAT", true},
      {"*.dat", "a.b.dat", true},
      {"*.dat", "file.dat.bak", false},
      {"*.dat", "file.data", false},
      {"file.*", "file", true},  // a trailing ".*" takes an empty extension
      {"file.*", "FILE.txt", true},
      {"file.*", "files", false},
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

struct Found {
  std::string name;
  DWORD attributes;
  std::uint64_t size;
};

// Every entry a search for `pattern` yields, in order; the last error is ERROR_NO_MORE_FILES
// after a complete search.
std::vector<Found> Search(const std::string& pattern) {
  std::vector<Found> found;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    found.push_back({data.cFileName, data.dwFileAttributes, data.nFileSize});
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(find));
  return found;
}

std::vector<std::string> Names(const std::vector<Found>& found) {
  std::vector<std::string> names;
  for (const auto& entry : found) names.push_back(entry.name);
  return names;
}

class DirectorySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handlesBefore_ = CountOpenHandles();
    WriteFile(dir_ / "b.dat", "12345");
    WriteFile(dir_ / "A.DAT", "");
    WriteFile(dir_ / "c.dat.bak", "x");
    WriteFile(dir_ / "readme", "x");
    WriteFile(dir_ / "\xC3\xA9t\xC3\xA9.cfg", "x");
    MakeDirectories(dir_ / "sub.dat");
    WriteFile(dir_ / "sub.dat/inner.dat", "not listed");
  }
  void TearDown() override { EXPECT_EQ(handlesBefore_, CountOpenHandles()); }

  TempDir dir_;

 private:
  std::size_t handlesBefore_ = 0;
};

TEST_F(DirectorySearchTest, StarListsEveryEntrySortedByBytes) {
  const std::vector<std::string> all = {".",         "..",     "A.DAT",   "b.dat",
                                        "c.dat.bak", "readme", "sub.dat", "\xC3\xA9t\xC3\xA9.cfg"};
  EXPECT_EQ(all, Names(Search(dir_ / "*")));
  EXPECT_EQ(all, Names(Search(dir_ / "*.*")));
}

TEST_F(DirectorySearchTest, ExtensionPatternsIgnoreCaseAndIncludeDirectories) {
  std::vector<Found> found = Search(dir_ / "*.dat");
  ASSERT_EQ((std::vector<std::string>{"A.DAT", "b.dat", "sub.dat"}), Names(found));
  EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, found[0].attributes);
  EXPECT_EQ(0u, found[0].size);
  EXPECT_EQ(5u, found[1].size);
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, found[2].attributes);
  EXPECT_EQ(0u, found[2].size);
  EXPECT_EQ((std::vector<std::string>{"readme"}), Names(Search(dir_ / "README.*")));
  EXPECT_EQ((std::vector<std::string>{"inner.dat"}), Names(Search(dir_ / "sub.dat/*.DAT")));
}

TEST_F(DirectorySearchTest, FailuresSayWhy) {
  WIN32_FIND_DATAA data;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((dir_ / "*.exe").c_str(), &data));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((dir_ / "missing/*.*").c_str(), &data));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((dir_ / "readme/*").c_str(), &data));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(DirectorySearchTest, HandlesAreCheckedForKind) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir_ / "*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_FALSE(CloseHandle(find));  // a search is closed with FindClose only
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(FindClose(event));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindNextFileA(find, &data));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// Some file systems leave d_type unknown; the kind must then come from the file itself.
struct dirent* ReaddirWithoutTypes(DIR* directory) {
  struct dirent* entry = ::readdir(directory);
  if (entry != nullptr) entry->d_type = DT_UNKNOWN;
  return entry;
}
DIR* OpendirDenied(const char*) {
  errno = EACCES;
  return nullptr;
}
struct dirent* ReaddirFails(DIR*) {
  errno = EIO;
  return nullptr;
}

TEST_F(DirectorySearchTest, FileSystemQuirksAndFaults) {
  ScopedPosixCalls calls;
  calls->readdir = ReaddirWithoutTypes;
  std::vector<Found> found = Search(dir_ / "s*");
  ASSERT_EQ(1u, found.size());
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, found[0].attributes);

  WIN32_FIND_DATAA data;
  calls->readdir = ReaddirFails;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((dir_ / "*").c_str(), &data));
  EXPECT_EQ(ERROR_GEN_FAILURE, GetLastError());
  calls->opendir = OpendirDenied;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA((dir_ / "*").c_str(), &data));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
}

}  // namespace
