// The updater's own files and the log against what a hostile server or a hostile local user may
// plant: links in the directories the updater writes must not carry a write elsewhere, nor stop
// the next cycle; names the server does not have must not flood the log. (Server names of the
// updater's own files are refused in security_test.cc.)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"

namespace faults {
namespace {

const FileSet kOld = {{"a.dat", "alpha, first edition"}, {"b.cfg", "bravo, first edition"}};
const FileSet kNew = {{"a.dat", "alpha, second edition"}, {"b.cfg", "bravo, second edition"}};

bool IsPlainFile(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
}

// Links planted at every name the updater writes are replaced by the updater's own files: a
// symbolic link at a download, one to a directory at an installed file, a hard link at the
// reference trigger file, a dangling one at the lock file. Dangling ones at the temporary names a
// killed run leaves are removed. What they lead to outside the root stays as it was, or is never
// made.
TEST(OwnFiles, LinksPlantedWhereTheUpdaterWritesAreReplacedNeverFollowed) {
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  const std::string outside = std::filesystem::path(harness.Root()).parent_path() / "outside";
  testing_support::WriteFile(outside + "/victim", "precious");
  testing_support::MakeDirectories(outside + "/directory");
  const std::vector<std::pair<std::string, std::string>> links = {
      {harness.Backup() + "/a.dat", outside + "/victim"},
      {harness.Definitions() + "/b.cfg", outside + "/directory"},
      {harness.Backup() + "/trigger.crc", ""},  // a hard link to the victim
      {harness.Definitions() + "/.trigger.crc.partial", outside + "/staged"},
      {harness.Definitions() + "/.copy-4242-0.partial", outside + "/copied"},
      {harness.Root() + "/.repository-updater.lock", outside + "/lock"}};
  for (const auto& [link, target] : links) {
    ::unlink(link.c_str());
    ASSERT_EQ(target.empty() ? ::link((outside + "/victim").c_str(), link.c_str())
                             : ::symlink(target.c_str(), link.c_str()),
              0)
        << link;
  }

  harness.Publish(kNew);
  const auto start = std::chrono::steady_clock::now();
  const Result result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err << harness.Log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_EQ(ReadFile(outside + "/victim"), "precious");
  EXPECT_TRUE(std::filesystem::is_empty(outside + "/directory"));
  for (const char* made : {"/staged", "/copied", "/lock"}) EXPECT_FALSE(FileExists(outside + made));
  for (const auto& [link, target] : links) {
    struct stat status {};  // a temporary name's leftover is removed, the rest are files of ours
    EXPECT_TRUE(link.ends_with(".partial") ? ::lstat(link.c_str(), &status) != 0
                                           : IsPlainFile(link))
        << link;
  }
  EXPECT_EQ(harness.Once().out, "MailFilter0: up to date\n");
}

// A trigger file naming many files the server does not have writes the first 100 failures and
// one entry that counts them all; one naming more than 100,000 files is refused as invalid data
// before any is asked for. Neither holds the cycle long or takes much memory.
TEST(BoundedLog, ManyMissingFilesAndHugeTriggerFilesKeepTheLogShort) {
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  auto triggerWithMissing = [](std::size_t count) {
    std::string text = TriggerFor(kNew);
    for (std::size_t i = 0; i < count; ++i)
      text += "1234abcd missing-" + std::to_string(i) + "\r\n";
    return text;
  };
  for (const auto& [missing, entries, marker] :
       {std::tuple{std::size_t{150}, std::size_t{102}, std::string("150 files could not be")},
        std::tuple{std::size_t{100000}, std::size_t{1},
                   std::string("Updating the \"\"trigger.crc\"\" file | 13")}}) {
    SCOPED_TRACE(missing);
    harness.Publish(kNew);
    harness.server().AddFile("/updates/trigger.crc", triggerWithMissing(missing));
    const std::size_t before = Occurrences(harness.Log(), " VARAZO[");
    const auto start = std::chrono::steady_clock::now();
    const Result result = harness.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    const std::string log = harness.Log();
    // The library's entries: 100 failures, the summary and the entry of what was fetched; or the
    // refusal alone.
    EXPECT_EQ(Occurrences(log, " VARAZO[") - before, entries) << log.substr(log.size() - 3000);
    EXPECT_EQ(Occurrences(log, marker), 1u) << log;
    EXPECT_TRUE(harness.HoldsSet(kOld));
  }
  struct rusage usage {};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 512 * 1024) << "kB at the most of one run";

  harness.Publish(kNew);
  EXPECT_EQ(harness.Once().status, 0);
  EXPECT_TRUE(harness.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
