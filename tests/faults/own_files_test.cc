// What a hostile server must not get through the names in its trigger file: the updater's own
// files (its pending file, lock file, store, log and temporary files) replaced, a write carried
// out of the processor's directories by a link planted in them, or the log flooded by names it
// does not have. Each case ends in a failed cycle with clear entries, and the next cycle after
// the fault is gone succeeds by itself.
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

// Names of the updater's own files, in the harness's configuration and in other letter cases,
// are refused (123) and never asked of the server; the rest of the set is still fetched, but
// the cycle fails. A pending file that an older version let into the backup directory is not
// installed with the next set, which would leave the engine looking busy for ever.
TEST(OwnFiles, ServerNamesOfTheUpdatersOwnFilesAreRefusedAndNothingOfOursIsReplaced) {
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  testing_support::WriteFile(harness.Backup() + "/update.pending", "left by an older version");
  const std::string top = std::filesystem::path(harness.Root()).parent_path();
  const std::string store = ReadFile(top + "/store.db");

  const std::vector<std::string> own = {
      "update.pending", "Update.Pending",      ".repository-updater.lock", "STORE.DB",
      "store.db-wal",   "updater.log",         ".copy-4242-0.partial",     ".trigger.crc.partial"};
  FileSet hostile = kNew;
  for (const std::string& name : own) hostile[name] = "not yours";
  harness.Publish(hostile);
  const long fetchedBefore = program_test::Count(harness.server().Transcript(), "RETR a.dat");
  const auto start = std::chrono::steady_clock::now();
  Result result = harness.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  const std::vector<std::string> transcript = harness.server().Transcript();
  for (const std::string& name : own) {
    EXPECT_EQ(Occurrences(harness.Log(), "Updating the \"\"updates/" + name + "\"\" file | 123"),
              1u)
        << name << "\n"
        << harness.Log();
    EXPECT_EQ(program_test::Count(transcript, "RETR " + name), 0) << name;
    EXPECT_NE(ReadFile(harness.Definitions() + "/" + name), "not yours") << name;
    EXPECT_NE(ReadFile(harness.Root() + "/" + name), "not yours") << name;
    EXPECT_NE(ReadFile(top + "/" + name), "not yours") << name;
  }
  EXPECT_EQ(program_test::Count(transcript, "RETR a.dat"), fetchedBefore + 1);  // the rest
  EXPECT_TRUE(harness.HoldsSet(kOld));
  EXPECT_EQ(ReadFile(top + "/store.db").empty(), store.empty());

  harness.Publish(kNew);
  result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_FALSE(FileExists(harness.Definitions() + "/update.pending"));
  EXPECT_EQ(harness.Once().out, "MailFilter0: up to date\n");  // the engine is not kept busy
}

// Symbolic links planted at every name the updater writes (a download, an installed file, the
// reference trigger file, the staging file, the lock file) are replaced by the updater's own
// files; what they point at outside the root directory stays as it was or is never made.
TEST(OwnFiles, LinksPlantedWhereTheUpdaterWritesAreReplacedNeverFollowed) {
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  const std::string outside = std::filesystem::path(harness.Root()).parent_path() / "outside";
  testing_support::WriteFile(outside + "/victim", "precious");
  const std::vector<std::pair<std::string, std::string>> links = {
      {harness.Backup() + "/a.dat", outside + "/victim"},
      {harness.Definitions() + "/b.cfg", outside + "/victim"},
      {harness.Backup() + "/trigger.crc", outside + "/victim"},
      {harness.Definitions() + "/.trigger.crc.partial", outside + "/staged"},
      {harness.Root() + "/.repository-updater.lock", outside + "/lock"}};
  for (const auto& [link, target] : links) {
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
  }

  harness.Publish(kNew);
  const Result result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_EQ(ReadFile(outside + "/victim"), "precious");
  EXPECT_FALSE(FileExists(outside + "/staged") || FileExists(outside + "/lock"));
  for (const auto& [link, target] : links) {
    EXPECT_TRUE(link.ends_with(".partial") ? !FileExists(link) : IsPlainFile(link)) << link;
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
    for (std::size_t i = 0; i < count; ++i) text += "1234abcd missing-" + std::to_string(i) + "\r\n";
    return text;
  };
  for (const auto& [missing, entries, marker] :
       {std::tuple{std::size_t{150}, std::size_t{102}, std::string("150 files could not be")},
        std::tuple{std::size_t{100000}, std::size_t{1},
                   std::string("Updating the \"\"trigger.crc\"\" file | 13")}}) {
    SCOPED_TRACE(missing);
    harness.Publish(kNew);
    harness.server().AddFile("/updates/trigger.crc", triggerWithMissing(missing));
    const std::size_t before = Occurrences(harness.Log(), "\n");
    const auto start = std::chrono::steady_clock::now();
    const Result result = harness.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    const std::string log = harness.Log();
    // 100 failures, the summary and the entry of what was fetched; or the refusal alone.
    EXPECT_EQ(Occurrences(log, "\n") - before, entries) << log.substr(log.size() - 3000);
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
