// What a hostile server or a hostile local user must not get: a write outside the processor's
// directories or over the updater's own files, through the names in a trigger file or through
// links planted where the updater writes; a log flooded by names the server does not have. (The
// login password masked in log lines: the FTP transport test.)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"

namespace faults {
namespace {

const FileSet kOld = {{"a.dat", "alpha, first edition"}, {"b.cfg", "bravo, first edition"}};
const FileSet kNew = {{"a.dat", "alpha, second edition"}, {"b.cfg", "bravo, second edition"}};

// Names that would lead out of the backup or definitions directory, and names of the updater's
// own files in any letter case, are refused (123) before anything is asked of the server or
// written; the rest of the set is still fetched. Names that merely look encoded are plain names
// and stay inside. The cycle fails, installs nothing, and the next clean set installs; a pending
// file that an older version let into the backup directory is not installed with it.
TEST(Security, NamesThatWouldEscapeTheDirectoriesAreRefusedThroughWholeCycles) {
  UpdaterHarness harness;
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  testing_support::WriteFile(harness.Backup() + "/update.pending", "left by an older version");

  const std::string top = harness.Path(""), absolute = harness.Path("escape-absolute.dat");
  const std::string kHostile = "written where it must not be";
  std::vector<std::string> refused = {"../escape.dat",       "..", ".", absolute, "..\\escape.dat",
                                      "sub/../../escape.dat"};
  // The updater's own files as the harness configures them, served to a client that asks.
  const std::vector<std::string> own = {"update.pending",
                                        "Update.Pending",
                                        ".repository-updater.lock",
                                        "STORE.DB",
                                        "store.db-wal",
                                        "LOG",
                                        ".copy-4242-0.partial",
                                        ".trigger.crc.partial"};
  refused.insert(refused.end(), own.begin(), own.end());
  FileSet hostile = kNew;
  for (const std::string& name : refused) hostile[name] = kHostile;
  harness.Publish(kNew);
  for (const std::string& name : own) harness.server().AddFile("/updates/" + name, kHostile);
  for (const std::string name : {"..%2fescape.dat", "%2e%2e%2fescape.dat"}) {
    hostile[name] = kHostile;
    harness.server().AddFile("/updates/" + name, kHostile);  // served under the literal name
  }
  harness.server().AddFile("/escape.dat", kHostile);
  harness.server().AddFile("/updates/trigger.crc", TriggerFor(hostile));
  const long fetched = program_test::Count(harness.server().Transcript(), "RETR a.dat");

  EXPECT_EQ(harness.Once().status, 1);
  const std::vector<std::string> transcript = harness.server().Transcript();
  for (const std::string& name : refused) {
    EXPECT_EQ(Occurrences(harness.Log(), "Updating the \"\"updates/" + name + "\"\" file | 123"),
              1u)
        << name << "\n"
        << harness.Log();
    EXPECT_EQ(program_test::Count(transcript, "RETR " + name), 0) << name;
  }
  EXPECT_EQ(program_test::Count(transcript, "RETR a.dat"), fetched + 1);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    const std::string name = entry.path().filename().string();
    const std::string directory = entry.path().parent_path().string();
    EXPECT_TRUE(name.find('%') != std::string::npos
                    ? directory == harness.Backup() || directory == harness.Definitions()
                    : name.find("escape") == std::string::npos &&
                          ReadFile(entry.path().string()) != kHostile)
        << "written where it must not be: " << entry.path();
  }
  EXPECT_TRUE(harness.HoldsSet(kOld));

  harness.Publish(kNew);
  EXPECT_EQ(harness.Once().status, 0);
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_FALSE(FileExists(harness.Definitions() + "/update.pending"));
  EXPECT_EQ(harness.Once().out, "MailFilter0: up to date\n");  // the engine is not kept busy
}

// Links planted at every name the updater writes are replaced by the updater's own files: a
// symbolic link at a download, one to a directory at an installed file, a hard link at the
// reference trigger file, a dangling one at the lock file. Dangling ones at the temporary names a
// killed run leaves are removed. What they lead to outside the root stays as it was, or is never
// made.
TEST(OwnFiles, LinksPlantedWhereTheUpdaterWritesAreReplacedNeverFollowed) {
  UpdaterHarness harness;
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  const std::string outside = harness.Path("outside");
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
  const Result result = harness.Once();
  EXPECT_EQ(result.status, 0) << result.err << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kNew));
  EXPECT_EQ(ReadFile(outside + "/victim"), "precious");
  EXPECT_TRUE(std::filesystem::is_empty(outside + "/directory"));
  for (const char* made : {"/staged", "/copied", "/lock"}) EXPECT_FALSE(FileExists(outside + made));
  for (const auto& [link, target] : links) {
    struct stat status {};  // a temporary name's leftover is removed, the rest are files of ours
    const bool exists = ::lstat(link.c_str(), &status) == 0;
    EXPECT_TRUE(link.ends_with(".partial")
                    ? !exists
                    : exists && S_ISREG(status.st_mode) && status.st_nlink == 1)
        << link;
  }
  EXPECT_EQ(harness.Once().out, "MailFilter0: up to date\n");
}

// A trigger file naming many files the server does not have writes the first 100 failures and,
// beyond 100, one entry that counts them all, up to 100,000 names; one naming more is refused as
// invalid data before any is asked for. Neither takes much memory.
TEST(BoundedLog, ManyMissingFilesAndHugeTriggerFilesKeepTheLogShort) {
  UpdaterHarness harness;
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  auto triggerWithMissing = [](std::size_t count) {
    std::string text = TriggerFor(kNew);
    for (std::size_t i = 0; i < count; ++i)
      text += "1234abcd missing-" + std::to_string(i) + "\r\n";
    return text;
  };
  for (const auto& [missing, entries, marker] :
       {std::tuple{std::size_t{100}, std::size_t{101}, std::string("missing-99\"\" file")},
        std::tuple{std::size_t{99998}, std::size_t{102}, std::string("99998 files could not be")},
        std::tuple{std::size_t{99999}, std::size_t{1},
                   std::string("Updating the \"\"trigger.crc\"\" file | 13")}}) {
    SCOPED_TRACE(missing);
    harness.Publish(kNew);
    harness.server().AddFile("/updates/trigger.crc", triggerWithMissing(missing));
    const std::size_t before = Occurrences(harness.Log(), " VARAZO[");
    const Result result = harness.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    const std::string log = harness.Log();
    // The library's entries: 100 failures, the summary beyond 100 and the entry of what was
    // fetched; or the refusal alone.
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
