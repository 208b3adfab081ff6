// What a hostile server must not get: a write outside the processor's directories through the
// names in a trigger file, or the login password into a log line.
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

// Names that would lead out of the backup or definitions directory are refused (123) before
// anything is asked of the server or written; names that merely look encoded are plain names
// and stay inside. The cycle fails, installs nothing, and the next clean set installs.
TEST(Security, NamesThatWouldEscapeTheDirectoriesAreRefusedThroughWholeCycles) {
  UpdaterHarness harness;
  harness.Configure();
  harness.Publish(kOld);
  ASSERT_EQ(harness.Once().status, 0);

  const std::string top = std::filesystem::path(harness.Root()).parent_path();
  const std::string absolute = top + "/escape-absolute.dat";
  const std::vector<std::string> escaping = {
      "../escape.dat", "..", ".", absolute, "..\\escape.dat", "sub/../../escape.dat"};
  FileSet hostile = kNew;
  for (const std::string& name : escaping) hostile[name] = "written where it must not be";
  for (const std::string name : {"..%2fescape.dat", "%2e%2e%2fescape.dat"}) {
    hostile[name] = "written where it must not be";
    harness.server().AddFile("/updates/" + name, hostile[name]);  // served under the literal name
  }
  harness.server().AddFile("/escape.dat", "written where it must not be");
  harness.Publish(kNew);
  harness.server().AddFile("/updates/trigger.crc", TriggerFor(hostile));

  EXPECT_EQ(harness.Once().status, 1);
  const std::vector<std::string> transcript = harness.server().Transcript();
  for (const std::string& name : escaping) {
    EXPECT_EQ(Occurrences(harness.Log(), "Updating the \"\"updates/" + name + "\"\" file | 123"),
              1u)
        << name << "\n"
        << harness.Log();
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR " + name), 0) << name;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    const std::string directory = entry.path().parent_path().string();
    EXPECT_TRUE(entry.path().filename().string().find("escape") == std::string::npos ||
                directory == harness.Backup() || directory == harness.Definitions())
        << "written outside the processor's directories: " << entry.path();
  }
  EXPECT_TRUE(harness.HoldsSet(kOld));

  harness.Publish(kNew);
  EXPECT_EQ(harness.Once().status, 0);
  EXPECT_TRUE(harness.HoldsSet(kNew));
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
