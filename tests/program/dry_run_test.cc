// once --dry-run against pyftpdlib: the plans of a first installation, of a changed set and of a
// set the engine has not absorbed, each followed by the cycle that does what it said; and what
// a dry run leaves behind: no store made where there was none, the processor's directories and
// the store byte for byte as they were, no callback run, no definition file downloaded.
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

using program_test::RunUpdater;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

// Every entry below `root` with its mode, size, modification time to the nanosecond and content.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::string& state = tree[entry.path()];
    state = std::to_string(status.st_mode) + " " + std::to_string(status.st_size) + " " +
            std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
    if (S_ISREG(status.st_mode)) state += " " + ReadFile(entry.path());
  }
  return tree;
}

TEST(UpdaterDryRun, PlansWhatTheCycleThenDoesAndChangesNothing) {
  TempDir dir;
  const std::string remote = dir / "server/updates/";
  const std::string definitions = dir / "filter/definitions/";
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo"}});
  auto server = std::make_unique<testing_support::PyFtpServer>(
      testing_support::PyFtpServerOptions{dir / "server", {}, true, true});
  // Each callback would leave its event behind.
  const std::string leave = "\"echo $REPOSITORY_UPDATER_EVENT >>" + dir / "called" + "\"\n";
  const std::string config = program_test::WriteConfig(
      dir, "", "\"ftp://127.0.0.1:" + std::to_string(server->port()) + "\"",
      "on_prepare = " + leave + "on_updates_available = " + leave +
          "on_nothing_to_absorb = " + leave);
  const std::string prefix = "MailFilter0: ";

  // A first plan: nothing exists yet, and nothing is made, not even the log file.
  const program_test::Result first = RunUpdater({"once", "--dry-run"}, config);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, prefix + "would fetch 2 files (10 bytes): a.dat, b.cfg\n" + prefix +
                           "would install 2 files: a.dat, b.cfg\n" + prefix +
                           "would signal the engine\n");
  for (const char* made : {"store.db", "filter", "log", "called"})
    EXPECT_FALSE(FileExists(dir / made)) << made;
  // The cycle that follows each plan, with what its callbacks leave behind cleared.
  auto once = [&](const std::string& outcome) {
    EXPECT_EQ(RunUpdater({"once"}, config).out, prefix + outcome + "\n");
    EXPECT_EQ(ReadFile(dir / "called"), "prepare\nupdates_available\n");
    std::filesystem::remove(dir / "called");
  };
  once("updated 2 files");

  // Plans against a state, which they must leave as it is.
  auto plan = [&](const std::string& expected, int status = 0) {
    const auto tree = Tree(dir / "filter");
    const std::string store = ReadFile(dir / "store.db");
    const program_test::Result result =
        RunUpdater({"once", "-p", "mailfilter0", "--dry-run"}, config);
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(Tree(dir / "filter"), tree);
    EXPECT_EQ(ReadFile(dir / "store.db"), store);
    EXPECT_FALSE(FileExists(dir / "called"));
  };
  // A changed set; installed files edited by hand, whose backup copies go back (the classic
  // installation copies the whole backup directory, x.dat too, though the set does not name it),
  // and one that the set does not name.
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo 2"}, {"c.dat", "charlie"}});
  for (const char* name : {"a.dat", "x.dat"}) WriteFile(definitions + name, "edited");
  WriteFile(dir / "filter/backup/x.dat", "x");
  WriteFile(definitions + "old.dat", "old");
  plan(prefix + "would fetch 2 files (14 bytes): b.cfg, c.dat\n" + prefix +
       "would install 4 files: a.dat, b.cfg, c.dat, x.dat\n" + prefix +
       "would leave 1 file the set does not name: old.dat\n" + prefix +
       "would signal the engine\n");
  EXPECT_EQ(program_test::Count(server->Transcript(), "RETR c.dat"), 0);
  once("updated 2 files");
  EXPECT_EQ(ReadFile(definitions + "a.dat") + ReadFile(definitions + "old.dat"), "alphaold");

  // The engine has not absorbed it: nothing new is prompted again; a new set starts afresh.
  WriteFile(definitions + "update.pending", "");
  const std::string afresh = " is present, so ";
  plan(prefix + "would tell the engine again: update.pending" + afresh +
       "it has not absorbed the last update\n");
  program_test::Publish(remote, {{"a.dat", "alpha"}, {"b.cfg", "bravo 3"}, {"c.dat", "charlie"}});
  plan(prefix + "would start afresh: update.pending" + afresh +
       "the engine has not absorbed the last update; every file is fetched again\n" + prefix +
       "would fetch 3 files (19 bytes): a.dat, b.cfg, c.dat\n" + prefix +
       "would install 3 files: a.dat, b.cfg, c.dat\n" + prefix +
       "would leave 2 files the set does not name: old.dat, x.dat\n" + prefix +
       "would signal the engine\n");
  once("updated 3 files");
  plan(prefix + "up to date\n");

  // A set the cycle would refuse in part or whole: a name that is not a plain one and one the
  // listing lacks; a trigger file that is no checksum list.
  WriteFile(remote + "trigger.crc", "1 ../evil.dat\r\n2 absent.dat\r\n");
  plan(prefix + "would fetch 1 file (0 bytes): absent.dat\n" + prefix +
           "would refuse 1 file whose names are not plain or are the updater's own: ../evil.dat\n" +
           prefix + "the server's listing lacks 1 file: absent.dat\n" + prefix +
           "would fail: nothing would be installed and the engine would not be signalled\n",
       1);
  WriteFile(remote + "trigger.crc", "1 a.dat\r\n0 b.cfg\r\n");
  plan(prefix + "would fail: the server's trigger file is not a valid checksum list\n", 1);

  // A second processor's plan reads its own properties (active FTP here) from the store.
  WriteFile(config, ReadFile(config) +
                        "[[processor]]\nname = \"Other\"\nroot_dir = \"other\"\n"
                        "trigger_file = \"t.crc\"\nextensions = \"dat\"\nserver = "
                        "\"ftp://127.0.0.1:" +
                        std::to_string(server->port()) + "\"\n");
  RunUpdater({"set", "Other", "PassiveFtp", "0"}, config);
  RunUpdater({"once", "--dry-run"}, config);
  EXPECT_NE(server->CountCommands("EPRT") + server->CountCommands("PORT"), 0u);
  // With the server gone no plan can be made, and each processor still says why.
  server.reset();
  const std::string log = ReadFile(dir / "log");
  const program_test::Result gone = RunUpdater({"once", "--dry-run"}, config);
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(ReadFile(dir / "log"), log) << "a plan's entries go to stderr:\n" << gone.err;
  EXPECT_THAT(gone.out,
              testing::StartsWith(prefix + "cannot connect: Connecting to the Mail Filter updates "
                                           "server | 1460 [the operation timed out]\nOther: "
                                           "cannot connect: "));
}

}  // namespace
