// Update cycles driven through the program against FTP servers on loopback: once, run with an
// update-now request, stop during a cycle, the host callbacks and the exit statuses.
#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "integrity/crc32.h"
#include "integrity/trigger_file_data.h"
#include "program/updater_process.h"
#include "support/ftp_servers.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using program_test::Eventually;
using program_test::Result;
using program_test::RunUpdater;
using program_test::Updater;
using testing::HasSubstr;
using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

class UpdaterCycle : public testing::Test {
 protected:
  UpdaterCycle() {
    testing_support::MakeDirectories(dir_ / "server/filter");
    testing_support::MakeDirectories(dir_ / "server/av");
    testing_support::PyFtpServerOptions options;
    options.root = dir_ / "server";
    options.users = {{"updater", "s3cret"}};
    server_ = std::make_unique<testing_support::PyFtpServer>(options);
    port_ = server_->port();
  }

  // Publishes `files` in a remote directory with a trigger file made by the program itself.
  void Publish(const std::string& remote, const std::map<std::string, std::string>& files) {
    std::vector<std::string> arguments = {"checksum"};
    for (const auto& [name, content] : files) {
      WriteFile(dir_ / "server/" + remote + "/" + name, content);
      arguments.push_back(dir_ / "server/" + remote + "/" + name);
    }
    const Result list = RunUpdater(arguments);
    ASSERT_EQ(list.status, 0) << list.err;
    WriteFile(dir_ / "server/" + remote + "/trigger.crc", list.out);
  }

  // A configuration with the filter processor, `extra` lines in its table, and optionally a
  // second processor.
  void Configure(const std::string& extra = "", bool withAntivirus = false,
                 const std::string& tables = "") {
    const std::string server = "ftp://127.0.0.1:" + std::to_string(port_);
    std::string text = tables +
                       "[store]\npath = \"store.db\"\n"
                       "[network]\nconnect_timeout_ms = 5000\nstall_timeout_ms = 5000\n"
                       "[[processor]]\nname = \"MailFilter0\"\ndisplay_name = \"Mail Filter\"\n"
                       "server = \"" +
                       server +
                       "\"\nremote_dir = \"filter\"\n"
                       "user = \"updater\"\npassword = \"s3cret\"\nroot_dir = \"filter\"\n"
                       "trigger_file = \"trigger.crc\"\nextensions = \"dat,cfg\"\nretries = 0\n" +
                       extra;
    if (withAntivirus) {
      text += "[[processor]]\nname = \"Antivirus\"\nserver = \"" + server +
              "\"\nremote_dir = \"av\"\nuser = \"updater\"\npassword = \"s3cret\"\n"
              "root_dir = \"av\"\ntrigger_file = \"trigger.crc\"\nextensions = \"dat,cfg\"\n";
    }
    WriteFile(config_, text);
  }

  Result Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin() + 1, {"-c", config_});
    return RunUpdater(arguments);
  }
  std::string Property(const std::string& name, const std::string& section = "MailFilter0") {
    return Run({"get", section, name}).out;
  }
  std::string Installed(const std::string& name) {
    return ReadFile(dir_ / "filter/definitions/" + name);
  }

  TempDir dir_;
  const std::string config_ = dir_ / "updater.toml";
  std::unique_ptr<testing_support::PyFtpServer> server_;
  std::uint16_t port_ = 0;
};

TEST_F(UpdaterCycle, OnceInstallsThenFindsNothingNewThenTakesAChangedFile) {
  Publish("filter", {{"a.dat", "alpha"}, {"b.cfg", "bravo"}});
  Publish("av", {{"sig.dat", "signatures"}});
  Configure("", true, "[log]\nformat = \"json\"\nfile = \"logs/updater.log\"\n");

  Result result = Run({"once"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 2 files\nAntivirus: updated 1 files\n");
  EXPECT_THAT(
      ReadFile(dir_ / "logs/updater.log"),
      HasSubstr("\"kind\":\"operation\",\"source\":\"VARAZO\",\"event\":1000,"
                "\"first\":\"MailFilter0\",\"texts\":[\"Updating the Mail Filter definition "
                "files\",\"Updated 2 files: a.dat, b.cfg\"]"));
  EXPECT_EQ(Installed("a.dat"), "alpha");
  EXPECT_EQ(Installed("b.cfg"), "bravo");
  EXPECT_EQ(Installed("trigger.crc"), ReadFile(dir_ / "server/filter/trigger.crc"));
  EXPECT_EQ(ReadFile(dir_ / "av/definitions/sig.dat"), "signatures");
  const std::string firstUpdate = Property("LastUpdateTime");
  EXPECT_NE(firstUpdate, "0\n");
  Result status = Run({"status"});
  EXPECT_THAT(status.out, HasSubstr("installed files recorded:  2"));
  EXPECT_THAT(status.out, HasSubstr("next update:               not scheduled"));
  EXPECT_THAT(status.out, HasSubstr("update now pending:        no"));

  result = Run({"once", "-p", "antivirus"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Antivirus: up to date\n");

  Publish("filter", {{"a.dat", "alpha"}, {"b.cfg", "bravo, second edition"}});
  result = Run({"once", "-p", "MailFilter0"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 1 files\n");
  EXPECT_EQ(Installed("b.cfg"), "bravo, second edition");
  const auto transcript = server_->Transcript();
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR a.dat"), 1) << "unchanged";
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "RETR b.cfg"), 2);

  const Result unknown = Run({"once", "-p", "Nobody"});
  EXPECT_EQ(unknown.status, 2);
}

// A failed cycle leaves the last successful time as it was; altered installed files found by the
// integrity check that follows make the status 3 and are recorded for `status`.
TEST_F(UpdaterCycle, FailedCyclesExitOneOrThreeAndKeepTheLastUpdateTime) {
  Publish("filter", {{"a.dat", "alpha"}, {"b.cfg", "bravo"}});
  Configure();
  ASSERT_EQ(Run({"once"}).status, 0);
  const std::string lastUpdate = Property("LastUpdateTime");

  server_.reset();  // nothing listens on the port any more
  Result result = Run({"once"});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_EQ(Property("LastUpdateTime"), lastUpdate);
  EXPECT_EQ(Property("UpdateNow"), "0\n");

  WriteFile(dir_ / "filter/definitions/a.dat", "altered");
  result = Run({"once"});
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_THAT(result.err, HasSubstr("MailFilter0: invalid definition files detected"));
  EXPECT_THAT(result.err, HasSubstr("Invalid Mail Filterdefinition files detected."));
  EXPECT_EQ(Property("LastUpdateTime"), lastUpdate);
  EXPECT_THAT(Run({"status"}).out, HasSubstr("invalid definition files:  detected"));
}

TEST_F(UpdaterCycle, CallbackCommandsDecideTheCycleAndSeeTheProcessor) {
  Publish("filter", {{"a.dat", "alpha"}});
  const std::string env = dir_ / "env.txt";

  Configure("on_prepare = \"exit 1\"\n");
  Result result = Run({"once"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  EXPECT_FALSE(FileExists(dir_ / "filter/definitions/a.dat")) << "a vetoed cycle installs nothing";

  Configure("on_prepare = \"true\"\non_updates_available = \"env > '" + env + "'\"\n");
  result = Run({"once"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 1 files\n");
  const std::string seen = ReadFile(env);
  EXPECT_THAT(seen, HasSubstr("REPOSITORY_UPDATER_EVENT=updates_available\n"));
  EXPECT_THAT(seen, HasSubstr("REPOSITORY_UPDATER_PROCESSOR=MailFilter0\n"));
  EXPECT_THAT(seen, HasSubstr("REPOSITORY_UPDATER_DISPLAY_NAME=Mail Filter\n"));
  EXPECT_THAT(seen, HasSubstr("REPOSITORY_UPDATER_DEFINITIONS_DIR=" + dir_.path() +
                              "/filter/definitions\n"));

  // Nothing new: the nothing-to-absorb command decides; one beyond its time limit is killed.
  Configure("on_nothing_to_absorb = \"exit 4\"\n");
  result = Run({"once"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "MailFilter0: failed\n");
  Configure("callback_timeout_ms = 500\non_nothing_to_absorb = \"sleep 600\"\n");
  result = Run({"once"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("on_nothing_to_absorb did not finish within the callback"));
  Configure("on_nothing_to_absorb = \"exit 0\"\n");
  result = Run({"once"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: up to date\n");
}

// With automatic updates off, a running service takes an update-now request from another
// process, refuses a concurrent `once`, and stops on SIGTERM with status 0.
TEST_F(UpdaterCycle, RunTakesUpdateNowFromAnotherProcessAndStopsOnSigterm) {
  Publish("filter", {{"a.dat", "alpha"}});
  Configure();
  ASSERT_EQ(Run({"set", "MailFilter0", "UpdateInterval", "0"}).status, 0);
  ASSERT_EQ(Run({"set", "MailFilter0", "NextUpdateTime", "12345"}).status, 0);

  Updater service({"run", "-c", config_});
  // The worker publishes 0 after its first pass, which runs no cycle while updates are off.
  ASSERT_TRUE(Eventually([&] { return Property("NextUpdateTime") == "0\n"; })) << service.Err();
  EXPECT_FALSE(FileExists(dir_ / "filter/definitions/a.dat"));

  const Result busy = Run({"once"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_THAT(busy.err, HasSubstr("is in use by another repository-updater"));

  ASSERT_EQ(Run({"update-now", "MailFilter0"}).status, 0);
  EXPECT_TRUE(Eventually([&] { return Installed("trigger.crc") != ""; })) << service.Err();
  EXPECT_EQ(Installed("a.dat"), "alpha");

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0) << service.Err();
  EXPECT_THAT(service.Err(), HasSubstr("stopping on SIGTERM"));
  EXPECT_EQ(Property("NextUpdateTime"), "0\n");
}

// SIGTERM while a download hangs: the service stops with status 0 and installs nothing of the
// interrupted set, so the engine is never signalled with a partial one.
TEST(UpdaterStop, SigtermDuringACycleInstallsNothing) {
  TempDir dir;
  testing_support::ScriptedFtpServer server;
  program_test::PublishWithStalledFile(server, {"a.dat", "b.dat", "c.dat"}, "b.dat");
  const std::string config = dir / "updater.toml";
  WriteFile(config,
            "[store]\npath = \"store.db\"\n[network]\nstall_timeout_ms = 8000\n"
            "[[processor]]\nname = \"Antivirus\"\nserver = \"ftp://127.0.0.1:" +
                std::to_string(server.port()) +
                "\"\nremote_dir = \"updates\"\nroot_dir = \"av\"\n"
                "trigger_file = \"trigger.crc\"\nextensions = \"dat\"\nretries = 0\n");

  Updater service({"run", "-c", config});
  ASSERT_TRUE(Eventually([&] {
    const auto transcript = server.Transcript();
    return std::find(transcript.begin(), transcript.end(), "RETR b.dat") != transcript.end();
  })) << service.Err();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0) << service.Err();
  EXPECT_FALSE(FileExists(dir / "av/definitions/trigger.crc"));
  EXPECT_FALSE(FileExists(dir / "av/definitions/a.dat"));
}

}  // namespace
