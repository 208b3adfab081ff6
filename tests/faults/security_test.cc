// What a hostile server or a curious local user must not get: a write outside the processor's
// directories, the login password from a log line or a process listing, the property store's
// contents, or a connection to a server whose certificate cannot be verified.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/ftp_servers.h"
#include "support/tls_certs.h"

namespace faults {
namespace {

const FileSet kOld = {{"a.dat", "alpha, first edition"}, {"b.cfg", "bravo, first edition"}};
const FileSet kNew = {{"a.dat", "alpha, second edition"}, {"b.cfg", "bravo, second edition"}};

// Every regular file below `root`.
std::vector<std::string> FilesBelow(const std::string& root) {
  std::vector<std::string> found;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_regular_file(ignored)) found.push_back(it->path().string());
  }
  return found;
}

std::string ProcFile(const std::string& pid, const char* what) {
  return ReadFile("/proc/" + pid + "/" + what);
}

class Security : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UpdaterBuilt()) << "build the repository-updater target"; }

  UpdaterHarness harness_;
};

// Names in the trigger file that would lead out of the backup or definitions directory are
// refused before anything is asked of the server or written; names that merely look encoded are
// plain names and stay inside. The cycle fails, installs nothing, and the next clean set installs.
TEST_F(Security, NamesThatWouldEscapeTheDirectoriesAreRefusedThroughWholeCycles) {
  harness_.Configure();
  harness_.Publish(kOld);
  Result result = harness_.Once();
  ASSERT_EQ(result.status, 0) << result.err;

  const std::string absolute = harness_.dir() / "escape-absolute.dat";
  const std::vector<std::string> escaping = {"../escape.dat",
                                             "../../escape.dat",
                                             "..",
                                             ".",
                                             absolute,
                                             "..\\escape.dat",
                                             "sub/../../escape.dat",
                                             "backup/../../escape.dat",
                                             "..\\..\\escape.dat"};
  const std::vector<std::string> encoded = {"..%2fescape.dat", "%2e%2e%2fescape.dat",
                                            "..%5cescape.dat", "%2fescape.dat"};
  const std::string payload = "written where it must not be";
  std::string trigger = TriggerFor(kNew);
  for (const std::string& name : escaping) trigger += ChecksumLine(name, Crc32(payload));
  for (const std::string& name : encoded) {
    trigger += ChecksumLine(name, Crc32(payload));
    harness_.server().AddFile("/updates/" + name, payload);  // served under the literal name
  }
  harness_.server().AddFile("/escape.dat", payload);  // where "../escape.dat" would lead there
  harness_.Publish(kNew);
  harness_.PublishTrigger(trigger);

  result = harness_.Once();
  EXPECT_EQ(result.status, 1) << result.err;
  const std::string log = harness_.Log();
  const std::vector<std::string> transcript = harness_.server().Transcript();
  for (const std::string& name : escaping) {
    EXPECT_EQ(Occurrences(log, "Updating the \"\"updates/" + name + "\"\" file | 123"), 1u)
        << name << "\n"
        << log;
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR " + name), 0) << name;
  }
  for (const std::string& path : FilesBelow(harness_.dir().path())) {
    if (path.find("escape") == std::string::npos) continue;
    const std::string directory = path.substr(0, path.rfind('/'));
    EXPECT_TRUE(directory == harness_.Backup() || directory == harness_.Definitions())
        << "written outside the processor's directories: " << path;
  }
  EXPECT_FALSE(FileExists(absolute));
  EXPECT_TRUE(harness_.HoldsSet(kOld));

  harness_.Publish(kNew);
  result = harness_.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

// A server that echoes the password in its replies gets it masked in every log line, in the text
// and in the JSON form, whatever characters the password holds.
TEST_F(Security, PasswordsNeverReachALogLine) {
  const std::string password = R"(pa"ss\wörd-7351)";
  const std::string jsonEscaped = R"(pa\"ss\\wörd-7351)";
  harness_.Publish(kNew);
  testing_support::ScriptedRule echo;
  echo.verb = "CWD";
  echo.reply = "550 No directory here for updater with password " + password + ".\r\n";
  harness_.server().AddRule(echo);

  for (const char* format : {"text", "json"}) {
    SCOPED_TRACE(format);
    HarnessOptions options;
    options.password = password;
    options.logFormat = format;
    harness_.Configure(options);
    const std::size_t masked = Occurrences(harness_.Log(), "with password ********.");
    const Result result = harness_.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    const std::string log = harness_.Log();
    EXPECT_EQ(Occurrences(log, "with password ********."), masked + 1) << log;
    for (const std::string& secret : {password, jsonEscaped}) {
      EXPECT_EQ(log.find(secret), std::string::npos) << log;
      EXPECT_EQ(result.err.find(secret), std::string::npos) << result.err;
      EXPECT_EQ(result.out.find(secret), std::string::npos) << result.out;
    }
  }
}

// While the service runs, with its umask wide open: neither its command line and environment
// nor those of the callback commands it starts show the password, and the property store with
// its WAL and shared-memory files is readable by its owner only.
TEST_F(Security, RunningServiceShowsNoPasswordAndKeepsItsStorePrivate) {
  const std::string password = "hunter2-in-the-config-only";
  const std::string seen = harness_.dir() / "seen";
  testing_support::MakeDirectories(seen);
  HarnessOptions options;
  options.password = password;
  // Each callback records its shell's command line and environment (written aside and renamed,
  // so that the test never reads half a record); the preparation also records the service's pid.
  auto record = [&](const std::string& name) {
    return "cat /proc/$$/cmdline /proc/$$/environ > " + seen + "/" + name + ".part && mv " + seen +
           "/" + name + ".part " + seen + "/" + name;
  };
  options.processorKeys = "on_prepare = 'echo $PPID > " + seen + "/pid.part && mv " + seen +
                          "/pid.part " + seen + "/service.pid; " + record("prepare") +
                          "'\non_updates_available = '" + record("updates_available") + "'\n";
  harness_.Configure(options);
  harness_.Publish(kNew);

  const mode_t umaskBefore = umask(0);
  std::unique_ptr<Updater> service = harness_.Start();
  umask(umaskBefore);
  ASSERT_TRUE(Eventually([&] { return static_cast<bool>(harness_.HoldsSet(kNew)); }))
      << service->Err();
  ASSERT_TRUE(Eventually([&] { return FileExists(seen + "/updates_available"); }));
  std::string pid = ReadFile(seen + "/service.pid");
  pid.erase(pid.find_last_not_of('\n') + 1);
  ASSERT_FALSE(pid.empty());
  const std::string cmdline = ProcFile(pid, "cmdline");
  EXPECT_NE(cmdline.find("run"), std::string::npos) << "the pid is the service's: " << cmdline;
  for (const std::string& text : {cmdline, ProcFile(pid, "environ"), ReadFile(seen + "/prepare"),
                                  ReadFile(seen + "/updates_available")}) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find(password), std::string::npos) << text;
  }

  const std::string store = harness_.dir() / "store.db";
  for (const std::string& path : {store, store + "-wal", store + "-shm"}) {
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << path;
  }
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(), 0) << service->Err();
  EXPECT_EQ(harness_.Log().find(password), std::string::npos);
  EXPECT_EQ(service->Err().find(password), std::string::npos);
}

// FTP over TLS verifies the server's certificate by default: a server whose authority is not
// trusted, or whose certificate names another host, fails the cycle with an entry that says so;
// the same server with its authority trusted installs the set.
TEST_F(Security, TlsVerificationIsOnByDefaultAndAFailureSaysWhy) {
  testing_support::TempDir certificates;
  testing_support::TestCertificates made;
  try {
    made = testing_support::MakeTestCertificates(certificates.path());
  } catch (const std::exception& failure) {
    GTEST_SKIP() << failure.what();
  }
  testing_support::TempDir served;
  for (const auto& [name, content] : kNew)
    testing_support::WriteFile(served / "updates/" + name, content);
  testing_support::WriteFile(served / "updates/trigger.crc", TriggerFor(kNew));
  testing_support::PyFtpServerOptions serverOptions;
  serverOptions.root = served.path();
  serverOptions.users = {{"updater", "tls-pass-4711"}};
  serverOptions.tlsCert = made.serverCert;
  serverOptions.tlsKey = made.serverKey;
  testing_support::PyFtpServer server(serverOptions);
  serverOptions.tlsCert = made.otherNameCert;
  serverOptions.tlsKey = made.otherNameKey;
  testing_support::PyFtpServer otherName(serverOptions);

  struct Case {
    const char* what;
    std::uint16_t port;
    std::string caLine;  // the [network] ca_file line, "" for the system's store
    int status;
    std::string entry;
  };
  const std::string refused = "Connecting to the Mail Filter updates server | ";
  const std::vector<Case> cases = {
      {"the system's store", server.port(), "", 1,
       refused + "12045: The server's certificate could not be verified against a trusted "
                 "authority."},
      {"an unrelated authority", server.port(), "ca_file = \"" + made.unrelatedCaCert + "\"\n", 1,
       refused + "12045: The server's certificate could not be verified against a trusted "
                 "authority."},
      {"a certificate for another name", otherName.port(), "ca_file = \"" + made.caCert + "\"\n", 1,
       refused + "12038: The server's certificate was issued for another name."},
      {"the server's own authority", server.port(), "ca_file = \"" + made.caCert + "\"\n", 0,
       "Updated 2 files: a.dat, b.cfg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HarnessOptions options;
    options.scheme = "ftps";
    options.port = c.port;
    options.password = "tls-pass-4711";
    options.network += c.caLine;
    harness_.Configure(options);
    const std::size_t before = Occurrences(harness_.Log(), c.entry);
    const Result result = harness_.Once();
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(Occurrences(harness_.Log(), c.entry), before + 1) << harness_.Log();
    if (c.status != 0) {
      EXPECT_FALSE(FileExists(harness_.Definitions() + "/a.dat"));
    }
  }
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
