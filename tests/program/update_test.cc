// The repository-updater program as a user drives it: what it refuses before it starts anything
// (bad arguments, bad configuration files), update cycles against FTP servers on loopback with the
// store commands an administrator uses beside them, and the service's own log and callbacks. Stop
// signals during a cycle are tested with the hostile servers that make them matter
// (tests/faults/hostile_server_test.cc).
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// MailFilter0 fetching from ftp://127.0.0.1:PORT/, its `keys` from line 15.
std::string WriteConfig(const TempDir& dir, std::uint16_t port, const std::string& keys = "") {
  return program_test::WriteConfig(dir, "[network]\nstall_timeout_ms = 8000\n",
                                   "\"ftp://127.0.0.1:" + std::to_string(port) + "/\"", keys);
}

// Refusals exit with status 2 and say why on stderr, after the program's name (or the file's);
// help, for the program or one command, and the version go to stdout (status 0).
TEST(UpdaterCommandLine, BadArgumentsExitWithStatusTwoAndSayWhy) {
  for (const auto& [arguments, status, message] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{}, 2, "no command given\nrepository-updater: try 'repository-updater --help'\n"},
           {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
           {{"once", "-c", "x.toml", "--text"}, 2, "unknown option '--text' for once"},
           {{"run"}, 2, "run needs the configuration file: -c FILE"},
           {{"status", "-c"}, 2, "option '-c' needs a value"},
           {{"get", "-c", "x.toml", "OnlySection"}, 2, "usage: repository-updater get"},
           {{"update-now", "-c", "x.toml", "A", "B"}, 2, "usage: repository-updater update-now"},
           {{"once", "--timeout", "0"}, 2, "--timeout needs a number of seconds from 1 to"},
           {{"status", "-c/nonexistent.toml"},
            2,
            "/nonexistent.toml: cannot read the configuration"},
           {{"help", "frobnicate"}, 2, "unknown command 'frobnicate'"},
           {{"status", "--json=yes"}, 2, "option '--json' takes no value"},
           {{"once", "--dry-run", "--timeout=5"},
            2,
            "--dry-run makes no cycle, so it takes no --timeout"},
           {{"--help"}, 0, "\n  check-config  "},
           {{"help", "once"}, 0, "Usage: repository-updater once"},
           {{"once", "-h"}, 0, "  --dry-run             print what a cycle would do"},
           {{"--version"}, 0, "repository-updater "}}) {
    const auto result = RunUpdater(arguments);
    EXPECT_EQ(result.status, status) << message;
    EXPECT_THAT(
        status == 0 ? result.out : result.err,
        HasSubstr(status == 0 || message[0] == '/' ? message : "repository-updater: " + message));
    EXPECT_TRUE(status == 0 || result.out.empty()) << message << ": " << result.out;
  }
}

// Every refusal names the file and the line, exits with status 2 and starts nothing.
TEST(UpdaterConfiguration, RefusesABadFileWithItsLineBeforeStartingAnything) {
  const auto other = [](const std::string& name, const std::string& server, const char* root) {
    return "[[processor]]\nname = \"" + name + "\"\nserver = " + server + "\nroot_dir = \"" + root +
           "\"\ntrigger_file = \"t\"\nextensions = \"dat\"\n";
  };
  for (const auto& [tail, line, message] : std::vector<std::tuple<std::string, int, std::string>>{
           {"retires = 3\n", 15, "unknown key \"retires\" in [[processor]]"},
           {"passive = 1\n", 15, "processor.passive must be true or false, not an integer"},
           {"wait_step_ms = 500\n", 15, "processor.wait_step_ms must be between 1000 and 3600000"},
           {"min_interval = 600\n\nmax_interval = 60\n", 17,
            "processor.min_interval (600) must not exceed processor.max_interval (60)"},
           {"retry_interval = 7200\n", 15,
            "processor.retry_interval (7200) must not exceed processor.max_retry_interval (3600)"},
           {"backup_dir = \"../up\"\n", 15, "processor.backup_dir must name a directory below"},
           {"backup_dir = \"/up\"\n", 15, "processor.backup_dir must name a directory below"},
           {"pending_file = \"sub/p\"\n", 15, "processor.pending_file must be a plain file name"},
           {"[[processor]]\nname = \"A\"\nserver = \"h\"\nroot_dir = \"a\"\n", 15,
            "[[processor]] is missing the required key \"trigger_file\""},
           {other("mailfilter0", "\"h\"", "r"), 15,
            "processor \"mailfilter0\" cannot run beside processor \"MailFilter0\" (line 7)"},
           {"name = \n", 15, "invalid TOML"},
           {"master_dir = true\n", 15, "processor.master_dir must be a string, not a boolean"},
           {"[extra]\n", 15, "unknown table [extra]"},
           {"[metrics]\n", 15, "[metrics] is missing the required key \"textfile\""},
           {other("A", "[\"h\", \"h\"]", "a"), 17, "processor.server lists \"h\" twice"},
           // Each address of a list of mirrors is checked where it stands.
           {other("A", "[\"h\",\n  \"gopher://x\"]", "a"), 18,
            "processor.server \"gopher://x\" is not a host name"},
           {"[metrics]\ntextfile = \"metrics.txt\"\n", 16,
            "metrics.textfile must name a file ending in .prom"},
           // Places that overlap: the server's files could replace the updater's own, or the
           // installation mix one set into another.
           {"definitions_dir = \".\"\n", 7,
            "processor.definitions_dir must name a directory below root_dir, not root_dir itself"},
           {"backup_dir = \"definitions/cache\"\n", 7,
            "processor.backup_dir overlaps processor.definitions_dir"},
           {other("A", "\"h\"", "filter"), 15,
            "processor \"A\" and processor \"MailFilter0\" (line 7) share the root directory"},
           {other("A", "\"h\"", ".") + "master_dir = \".\"\n", 15,
            "store.path lies in a directory of processor \"A\" where files from the server go"}}) {
    TempDir dir;
    const auto result = RunUpdater({"once"}, WriteConfig(dir, 2121, tail));
    EXPECT_EQ(result.status, 2) << message << "\n" << result.err;
    EXPECT_THAT(result.err,
                HasSubstr(dir / "updater.toml:" + std::to_string(line) + ": " + message));
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(FileExists(dir / "store.db") || FileExists(dir / "filter")) << message;
  }
}

// once installs (0), finds nothing new, fails on a forged file and with the server gone (1) and
// finds an altered installed file (3); then a walk through get, set, update-now and status.
TEST(UpdaterCycle, OnceExitsWithTheOutcomeAndTheStoreCommandsShowIt) {
  TempDir dir;
  const std::string remote = dir / "server/updates/";
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo"}});
  auto server = std::make_unique<testing_support::PyFtpServer>(
      testing_support::PyFtpServerOptions{dir / "server", {{"updater", "s3cret"}}});
  const std::string config = WriteConfig(dir, server->port(),
                                         "user = \"updater\"\npassword = \"s3cret\"\n"
                                         "update_now_property = \"Now\"\nmin_interval = 300\n"
                                         "max_interval = 31536000\n");  // the largest allowed
  auto once = [&](int status, const std::string& out) {
    const program_test::Result result = RunUpdater({"once"}, config);
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_EQ(result.out, out);
    return result.err;
  };

  EXPECT_THAT(RunUpdater({"status"}, config).out, HasSubstr("Mail Filter\n  no state yet\n"));
  EXPECT_FALSE(FileExists(dir / "store.db")) << "status made the store";
  const mode_t umask = ::umask(022);
  once(0, "MailFilter0: updated 2 files\n");
  ::umask(umask);
  namespace fs = std::filesystem;  // the store holds the password: its owner's alone
  EXPECT_EQ(fs::status(dir / "store.db").permissions() & fs::perms::all, fs::perms(0600));
  // The definitions are for the mail server, another user, to read.
  EXPECT_EQ(fs::status(dir / "filter/definitions/a.dat").permissions(), fs::perms(0644));
  once(0, "MailFilter0: up to date\n");
  EXPECT_THAT(RunUpdater({"status"}, config).out, HasSubstr("update interval:           3600 s\n"));
  // A file that does not match its checksum is tried three times (retries: 2 by default).
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo, second edition"}});
  WriteFile(remote + "b.cfg", "bravo, forged edition");
  once(1, "MailFilter0: failed\n");
  EXPECT_EQ(program_test::Count(server->Transcript(), "RETR b.cfg"), 1 + 3);
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo"}});

  server.reset();  // nothing listens on the port any more
  once(1, "MailFilter0: failed\n");
  WriteFile(dir / "filter/definitions/a.dat", "altered");
  EXPECT_THAT(once(3, "MailFilter0: failed\n"),
              HasSubstr("MailFilter0: invalid definition files detected"));

  std::string list = RunUpdater({"checksum", remote + "a.dat", remote + "b.cfg"}).out;
  EXPECT_EQ(std::count(list.begin(), list.end(), '\r'), 2) << "lines end in CR LF";
  list.erase(std::remove(list.begin(), list.end(), '\r'), list.end());
  for (const auto& [arguments, status, out, err] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
           {{"get", "MailFilter0", "InstalledFiles"}, 0, list, ""},  // decoded
           {{"set", "MailFilter0", "UpdateIntrval", "1"},
            2,
            "",
            "(did you mean \"UpdateInterval\"?)"},
           {{"set", "Elsewhere", "Anything", "0xFFFFFFFF", "--force"}, 0, "", ""},
           {{"get", "Elsewhere", "Anything"}, 0, "4294967295\n", ""},
           {{"set", "Elsewhere", "L", "--text", "--force", "--", std::string(99, '-')}, 0, "", ""},
           {{"get", "Elsewhere", "L"}, 0, std::string(99, '-') + "\n", ""},  // read in two goes
           {{"set", "MailFilter0", "updateInterval", "0X3C"}, 0, "", ""},    // below min_interval
           {{"get", "mailfilter0", "updateinterval"}, 0, "60\n", ""},  // names compare without case
           {{"set", "MailFilter0", "UpdateInterval", "4294967296"}, 2, "", "unsigned 32-bit"},
           {{"set", "", "UpdateInterval", "1", "--force"}, 2, "", "must not be empty"},
           {{"update-now", "MailFilter"}, 2, "", "no processor named \"MailFilter\""},
           {{"once", "-p", "Other"}, 2, "", "no processor named \"Other\""},
           {{"set", "Other", "UpdateInterval", "1"}, 2, "", "no processor named \"Other\" in "},
           {{"update-now", "MAILFILTER0"}, 0, "MailFilter0: update requested\n", ""},
           {{"set", "MailFilter0", "LastUpdateTime", "1700000000"}, 0, "", ""},
           {{"set", "MailFilter0", "NextUpdateTime", "1700003600"}, 0, "", ""}}) {
    const program_test::Result result = RunUpdater(arguments, config);
    EXPECT_EQ(result.status, status) << arguments.back() << "\n" << result.err;
    EXPECT_EQ(result.out, out) << arguments.back();
    EXPECT_THAT(result.err, HasSubstr(err));
  }
  EXPECT_EQ(RunUpdater({"status"}, config).out,
            "MailFilter0\n"
            "  display name:              Mail Filter\n"
            "  update interval:           300 s\n"
            "  last successful update:    2023-11-14T22:13:20Z\n"
            "  next update:               2023-11-14T23:13:20Z\n"
            "  update now pending:        yes\n"
            "  installed files recorded:  2\n"
            "  invalid definition files:  detected\n");
  ASSERT_EQ(RunUpdater({"set", "MailFilter0", "UpdateInterval", "0"}, config).status, 0);
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("  off (only requested updates run)\n"));
  EXPECT_THAT(RunUpdater({"status", "--json"}, config).out,
              HasSubstr(R"("next_update":"2023-11-14T23:13:20Z","update_now":true,)"
                        R"("installed_files":2,"invalid_definition_files":true,)"));
  RunUpdater({"once", "--timeout", "604800"}, config);  // serves the request, schedules nothing
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("not scheduled\n  update now pending:        no\n"));
}

// check-config creates nothing and points each problem at the line of the key behind the path
// (the processor's header for a default).
TEST(UpdaterConfiguration, CheckConfigFindsWhatTheServiceCannotUseAndCreatesNothing) {
  TempDir dir;
  const std::string config = WriteConfig(dir, 2121, "min_interval = 600\nmax_interval = 600\n");
  const program_test::Result good = RunUpdater({"check-config"}, config);
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.out, "ok\n");
  EXPECT_FALSE(FileExists(dir / "store.db") || FileExists(dir / "filter"));
  WriteFile(dir / "store.db", "");  // SQLite takes an empty file for a new database
  EXPECT_EQ(RunUpdater({"check-config"}, config).out, "ok\n");

  WriteFile(dir / "store.db", "a text file, not a database");
  testing_support::MakeDirectories(dir / "log");
  WriteFile(dir / "filter/definitions", "a file where a directory belongs");
  const program_test::Result bad = RunUpdater({"check-config"}, config);
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, config + ":2: store.path \"" + dir / "store.db" +
                         "\": it is not an SQLite database\n" + config + ":4: log.file \"" +
                         dir / "log" + "\": it is not a regular file\n" + config +
                         ":7: processor.definitions_dir \"" + dir / "filter/definitions" +
                         "\": it is not a directory\n");
  std::string many;  // more problems than a report shows: the first 20, then how many more
  for (int i = 0; i < 25; ++i) many += "unknown" + std::to_string(i) + " = 1\n";
  EXPECT_THAT(RunUpdater({"check-config"}, WriteConfig(dir, 2121, many)).err,
              testing::AllOf(HasSubstr("key \"unknown19\""), HasSubstr("... and 5 more problems")));
}

// A callback learns what it runs for from its environment; one that hangs is killed at its limit,
// with what it started, and logged with the last lines it wrote.
TEST(UpdaterCallbacks, AHangingCallbackIsKilledAtItsLimitAndLogged) {
  TempDir dir;
  const std::string command = "env | sed -n s/^REPOSITORY_UPDATER_//p | sort >" + dir / "env" +
                              "; echo waiting >&2; sleep 120 & echo $! >" + dir / "sleeper; wait";
  const std::string prepare = "on_prepare = \"" + command + "\"\n";
  RunUpdater(
      {"once"},
      WriteConfig(dir, 2121, prepare + "callback_timeout_ms = 1000\nmaster_dir = \"master\"\n"));
  const std::string root = dir / "filter";
  EXPECT_EQ(ReadFile(dir / "env"),
            "BACKUP_DIR=" + root + "/backup\nDEFINITIONS_DIR=" + root + "/definitions\n" +
                "DISPLAY_NAME=Mail Filter\nEVENT=prepare\nMASTER_DIR=" + root + "/master\n" +
                "PROCESSOR=MailFilter0\nROOT_DIR=" + root + "\nTRIGGER_FILE=trigger.crc\n");
  // The failed hook ends the cycle before it reaches for the server.
  EXPECT_THAT(ReadFile(dir / "log"),
              AllOf(HasSubstr(" error repository-updater[11] MailFilter0: on_prepare failed | " +
                              command + " | still running after 1000 ms: killed | waiting\n"),
                    Not(HasSubstr(" VARAZO["))));
  const std::string sleeper = "/proc/" + std::to_string(std::stoi(ReadFile(dir / "sleeper")));
  EXPECT_TRUE(program_test::Eventually([&] {
    const std::string stat = ReadFile(sleeper + "/stat");  // "PID (sleep) STATE ...", or none
    return stat.empty() || stat.find(") Z") != std::string::npos;
  }));
  // Ended by the run's own limit instead, the callback is killed for the stop and said so.
  RunUpdater({"once", "--timeout", "1"}, WriteConfig(dir, 2121, prepare));
  EXPECT_THAT(ReadFile(dir / "log"), HasSubstr("| killed because the service is stopping | "));
}

// run as a system service runs it, refusing a once beside it: its own entries for its start, each
// cycle and its stop; a failed on_updates_available logged with its status and output, and run
// again at the next cycle although that one finds nothing new; and logrotate's default (move,
// create, SIGHUP) keeps every entry, in order, in the old file or the new one.
TEST(UpdaterService, RetriesAFailedCallbackAndKeepsEveryEntryThroughALogRotation) {
  TempDir dir;
  program_test::Publish(dir / "server/updates/", {{"a.dat", "alpha"}});
  testing_support::PyFtpServer server({dir / "server", {}, true});
  const std::string command =
      "test -e " + dir / "told" +
      " || { seq 4; echo refused by $REPOSITORY_UPDATER_PROCESSOR; echo the engine >&2; exit 7; }";
  const std::string config =
      WriteConfig(dir, server.port(), "on_updates_available = \"" + command + "\"\n");
  const std::string log = dir / "log";
  const std::string cycle =
      " operation repository-updater[10] MailFilter0: Update cycle of the Mail Filter definition "
      "files | ";
  auto logged = [&](const std::string& text) {
    return program_test::Eventually([&] { return ReadFile(log).find(text) != std::string::npos; });
  };

  program_test::Updater service({"run", "-c", config});
  ASSERT_TRUE(logged(cycle + "failed\n")) << service.Err() << ReadFile(log);
  const program_test::Result beside = RunUpdater({"once"}, config);
  EXPECT_EQ(beside.status, 1);
  EXPECT_THAT(beside.err, HasSubstr(" is in use by another repository-updater (run or once)"));
  EXPECT_THAT(ReadFile(log), HasSubstr(" error repository-updater[11] MailFilter0: "
                                       "on_updates_available failed; it runs again at the next "
                                       "cycle | " +
                                       command +
                                       " | exit status 7 | 2\n    3\n    4\n"
                                       "    refused by MailFilter0\n    the engine\n"));
  EXPECT_THAT(RunUpdater({"status", "--json"}, config).out,
              HasSubstr("\"updates_available_pending\":true"));
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("\n  engine told of updates:    no (on_updates_available runs again)\n"));

  WriteFile(dir / "logrotate.conf", log + " {\n  rotate 1\n  create\n  postrotate\n    kill -HUP " +
                                        std::to_string(service.pid()) + "\n  endscript\n}\n");
  ASSERT_EQ(testing_support::ChildProcess::Run({"/usr/sbin/logrotate", "-f", "-s",
                                                dir / "logrotate.state", dir / "logrotate.conf"}),
            0);
  ASSERT_TRUE(logged("Log file reopened | on SIGHUP\n")) << service.Err();
  WriteFile(dir / "told", "");
  ASSERT_EQ(RunUpdater({"update-now", "MailFilter0"}, config).status, 0);
  ASSERT_TRUE(logged(cycle + "up to date\n")) << ReadFile(log);
  // An installed file altered after an update, found by a cycle that fails: the service records
  // it for the host and says so.
  program_test::Publish(dir / "server/updates/", {{"a.dat", "alpha 2"}});
  ASSERT_EQ(RunUpdater({"update-now", "MailFilter0"}, config).status, 0);
  ASSERT_TRUE(logged(cycle + "updated 1 files\n")) << ReadFile(log);
  WriteFile(dir / "filter/definitions/a.dat", "altered");
  std::filesystem::remove(dir / "server/updates/trigger.crc");
  ASSERT_EQ(RunUpdater({"update-now", "MailFilter0"}, config).status, 0);
  const std::string alarm = "MailFilter0: invalid definition files detected; only requested";
  ASSERT_TRUE(program_test::Eventually([&] {
    return service.Err().find(alarm) != std::string::npos;
  })) << ReadFile(log);
  EXPECT_EQ(RunUpdater({"get", "MailFilter0", "InvalidDefinitionFiles", "-c", config}).out, "1\n");
  EXPECT_TRUE(logged(cycle + "failed\n")) << ReadFile(log);  // though the one before succeeded
  service.Signal(SIGTERM);
  ASSERT_EQ(service.Wait(), 0) << service.Err();

  const std::string all = ReadFile(log + ".1") + ReadFile(log);
  std::size_t at = 0;
  for (const std::string& entry : std::vector<std::string>{
           " operation repository-updater[1] Service started | version ",
           "\n    MailFilter0 (Mail Filter) from ftp://127.0.0.1:" + std::to_string(server.port()) +
               "/ into " + dir / "filter/definitions\n",
           " operation VARAZO[1000] MailFilter0: Updating the Mail Filter definition files | "
           "Updated 1 files: a.dat\n",
           cycle + "failed\n", " operation repository-updater[3] Log file reopened | on SIGHUP\n",
           " operation repository-updater[12] MailFilter0: on_updates_available runs again | ",
           cycle + "up to date\n",
           " operation repository-updater[2] Service stopped | on SIGTERM\n"}) {
    const std::size_t found = all.find(entry, at);
    ASSERT_NE(found, std::string::npos) << entry << "\nnot after\n" << all.substr(0, at);
    at = found + entry.size();
  }
  EXPECT_EQ(ReadFile(log).rfind("20", 0), 0u) << "the new file starts with an entry";
  EXPECT_THAT(RunUpdater({"status", "--json"}, config).out,
              HasSubstr("\"updates_available_pending\":false"));
}

}  // namespace
