// What a hostile server must not get: a write outside the processor's directories or over the
// updater's own files through the names in a trigger file, or the login password into a log line.
#include <algorithm>
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
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);
  testing_support::WriteFile(harness.Backup() + "/update.pending", "left by an older version");

  const std::string top = std::filesystem::path(harness.Root()).parent_path();
  const std::string absolute = top + "/escape-absolute.dat";
  const std::string kHostile = "written where it must not be";
  std::vector<std::string> refused = {"../escape.dat",       "..", ".", absolute, "..\\escape.dat",
                                      "sub/../../escape.dat"};
  // The updater's own files as the harness configures them, served to a client that asks.
  const std::vector<std::string> own = {
      "update.pending", "Update.Pending", ".repository-updater.lock", "STORE.DB",
      "store.db-wal",   "updater.log",    ".copy-4242-0.partial",     ".trigger.crc.partial"};
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

// A server that echoes the password in its replies gets it masked in every log line, in the text
// and in the JSON form, whatever characters the password holds.
TEST(Security, PasswordsNeverReachALogLine) {
  const std::string password = R"(pa"ss\wörd-7351)";
  UpdaterHarness harness;
  harness.Publish(kNew);
  testing_support::ScriptedRule echo;
  echo.verb = "CWD";
  echo.reply = "550 No directory here for updater with password " + password + ".\r\n";
  harness.server().AddRule(echo);
  for (const char* format : {"text", "json"}) {
    SCOPED_TRACE(format);
    harness.Configure("backup", format, password);
    const std::size_t masked = Occurrences(harness.Log(), "with password ********.");
    const Result result = harness.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(Occurrences(harness.Log(), "with password ********."), masked + 1) << harness.Log();
    for (const std::string& secret : {password, std::string(R"(pa\"ss\\wörd-7351)")}) {
      EXPECT_EQ(harness.Log().find(secret), std::string::npos) << harness.Log();
      EXPECT_EQ((result.err + result.out).find(secret), std::string::npos) << result.err;
    }
  }
}

}  // namespace
}  // namespace faults
