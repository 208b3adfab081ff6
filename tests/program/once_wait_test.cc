// How `once` waits for the end of its pass: it is woken by the worker's writes to the store, and
// a stop signal still ends the wait at once.
#include <signal.h>

#include <algorithm>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using program_test::Eventually;
using program_test::Updater;
using testing::HasSubstr;
using testing_support::FileExists;
using testing_support::TempDir;
using testing_support::WriteFile;

class OnceWait : public testing::Test {
 protected:
  // a.dat, and b.dat whose download stalls after its third byte.
  OnceWait() { program_test::PublishWithStalledFile(server_, {"a.dat", "b.dat"}, "b.dat"); }

  // The store in a directory of its own or beside the configuration, with the log.
  void Configure(const std::string& storePath) {
    WriteFile(config_, "[store]\npath = \"" + storePath +
                           "\"\n[log]\nfile = \"updater.log\"\n"
                           "[network]\nstall_timeout_ms = 2000\n"
                           "[[processor]]\nname = \"Antivirus\"\nserver = \"ftp://127.0.0.1:" +
                           std::to_string(server_.port()) +
                           "\"\nremote_dir = \"updates\"\nroot_dir = \"av\"\n"
                           "trigger_file = \"trigger.crc\"\nextensions = \"dat\"\nretries = 0\n");
  }

  // How many downloads of b.dat began.
  long StalledDownloads() const {
    const auto transcript = server_.Transcript();
    return std::count(transcript.begin(), transcript.end(), "RETR b.dat");
  }

  TempDir dir_;
  testing_support::ScriptedFtpServer server_;
  const std::string config_ = dir_ / "updater.toml";
};

TEST_F(OnceWait, StopSignalsEndTheWaitForAPassAsFailed) {
  Configure("store.db");
  for (const int sig : {SIGTERM, SIGINT}) {
    const long before = StalledDownloads();
    Updater once({"once", "-c", config_});
    ASSERT_TRUE(Eventually([&] { return StalledDownloads() > before; })) << once.Err();
    once.Signal(sig);
    // The stalled download still ends only at the stall limit: a stop takes effect between
    // downloads. The command has taken the signal meanwhile and reports the pass as failed.
    ASSERT_EQ(once.Wait(), 1) << once.Err();
    EXPECT_THAT(once.Err(), HasSubstr(std::string("interrupted by SIG") + sigabbrev_np(sig)));
    EXPECT_EQ(once.Out(), "Antivirus: failed\n");
    EXPECT_FALSE(FileExists(dir_ / "av/definitions/a.dat"));
  }
}

TEST_F(OnceWait, APassIsSeenToEndWhereverTheStoreLives) {
  // The end of a pass shows as writes to the store: the command must see it whether the store has
  // a directory of its own or shares it with the log, whose lines wake the wait as well.
  server_.AddFile("/updates/b.dat", std::string("content of b.dat"));
  for (const std::string store : {"state/store.db", "store.db"}) {
    SCOPED_TRACE(store);
    Configure(store);
    Updater once({"once", "-c", config_});
    ASSERT_EQ(once.Wait(std::chrono::seconds(60)), 0) << once.Err();
    EXPECT_THAT(once.Out(),
                testing::AnyOf("Antivirus: updated 2 files\n", "Antivirus: up to date\n"));
  }
  EXPECT_TRUE(FileExists(dir_ / "av/definitions/b.dat"));
}

}  // namespace
