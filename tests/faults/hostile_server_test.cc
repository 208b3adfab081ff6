// Servers that fail or lie: a restart in the middle of a download, a stall while the service is
// told to stop, a trigger file that lies about a CRC, and files that are not what the listing
// says. Each ends in a clear log entry and a failed cycle that installs and signals nothing, and
// the next cycle after the fault is gone succeeds without anyone's help.
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/tcp_forwarder.h"

namespace faults {
namespace {

using testing_support::ScriptedFile;
using testing_support::ScriptedFtpServer;

const FileSet kOld = {{"a.dat", "alpha, first edition"},
                      {"b.dat", "bravo, first edition"},
                      {"c.cfg", "charlie, first edition"}};
const FileSet kNew = {{"a.dat", "alpha, second edition"},
                      {"b.dat", "bravo, second edition"},
                      {"c.cfg", "charlie, second edition"}};

std::size_t Requests(const ScriptedFtpServer& server, const std::string& command) {
  const std::vector<std::string> transcript = server.Transcript();
  return static_cast<std::size_t>(std::count(transcript.begin(), transcript.end(), command));
}

ScriptedFile Stalled() {
  ScriptedFile file;
  file.fault = ScriptedFile::Fault::kStallAfter;
  file.faultOffset = 4;
  return file;
}

class HostileServer : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UpdaterBuilt()) << "build the repository-updater target"; }

  // Installs the old set through `once`.
  void InstallOld() {
    harness_.Publish(kOld);
    const Result first = harness_.Once();
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_TRUE(harness_.HoldsSet(kOld));
  }

  UpdaterHarness harness_;
};

// SIGTERM while a download stalls: the service ends once that download gives up at the stall
// limit, makes no further attempt at the file and fetches nothing after it, although two retries
// were allowed.
TEST_F(HostileServer, StallDuringADownloadDoesNotHoldAStoppingServiceBeyondTheStallLimit) {
  HarnessOptions options;
  // Long enough that the stop has surely reached the worker before the first attempt gives up.
  options.network = "connect_timeout_ms = 5000\nstall_timeout_ms = 10000\n";
  options.processorKeys = "retries = 2\n";
  harness_.Configure(options);
  InstallOld();
  harness_.Publish(kNew, {{"b.dat", Stalled()}});

  const std::size_t fetchesOfB = Requests(harness_.server(), "RETR b.dat");
  const std::size_t fetchesOfC = Requests(harness_.server(), "RETR c.cfg");
  std::unique_ptr<Updater> service = harness_.Start();
  ASSERT_TRUE(Eventually([&] { return Requests(harness_.server(), "RETR b.dat") > fetchesOfB; }))
      << service->Err();
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(std::chrono::minutes(2)), 0) << service->Err();
  EXPECT_EQ(Requests(harness_.server(), "RETR b.dat"), fetchesOfB + 1);
  EXPECT_EQ(Requests(harness_.server(), "RETR c.cfg"), fetchesOfC);
  const std::string log = harness_.Log();
  EXPECT_EQ(Occurrences(log, "Updating the \"\"updates/b.dat\"\" file | 12002"), 1u) << log;
  EXPECT_EQ(Occurrences(log,
                        "Service shutting down.  Update process suspended with 1 files "
                        "still to update."),
            1u)
      << log;
  EXPECT_TRUE(harness_.HoldsSet(kOld));

  harness_.Publish(kNew);
  const Result next = harness_.Once();
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

// The server behind the configured address goes away in the middle of a download and another
// comes up at the same address. Without retries the interrupted cycle fails and the next one
// fetches the set; with retries, the retry reaches the new server and the cycle completes, every
// file still checked against the trigger file it read from the old one.
TEST_F(HostileServer, ServerRestartedInTheMiddleOfADownload) {
  testing_support::TcpForwarder address;
  auto server = std::make_unique<ScriptedFtpServer>();
  address.SetBackend(server->port());
  HarnessOptions options;
  options.port = address.port();
  options.network = "connect_timeout_ms = 5000\nstall_timeout_ms = 60000\n";  // the restart ends it
  options.processorKeys = "retries = 0\n";
  harness_.Configure(options);
  PublishSet(*server, kOld);
  Result result = harness_.Once();
  ASSERT_EQ(result.status, 0) << result.err;

  // Stalls b.dat of `set` on the current server, runs `once`, and restarts the server with the
  // same set while the download hangs.
  auto restartDuringDownload = [&](const FileSet& set) {
    PublishSet(*server, set, {{"b.dat", Stalled()}});
    const std::size_t before = Requests(*server, "RETR b.dat");
    auto once =
        std::make_unique<Updater>(std::vector<std::string>{"once", "-c", harness_.config()});
    EXPECT_TRUE(Eventually([&] { return Requests(*server, "RETR b.dat") > before; }))
        << once->Err();
    auto restarted = std::make_unique<ScriptedFtpServer>();
    PublishSet(*restarted, set);
    address.SetBackend(restarted->port());
    server = std::move(restarted);  // the old server's connections end with it
    return once;
  };

  std::unique_ptr<Updater> once = restartDuringDownload(kNew);
  EXPECT_EQ(once->Wait(), 1) << once->Err();
  EXPECT_EQ(once->Out(), "MailFilter0: failed\n");
  EXPECT_EQ(Occurrences(harness_.Log(), "Updating the \"\"updates/b.dat\"\" file | 12030"), 1u)
      << harness_.Log();
  EXPECT_TRUE(harness_.HoldsSet(kOld));
  result = harness_.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));

  options.processorKeys = "retries = 2\n";
  harness_.Configure(options);
  const FileSet newer = {{"a.dat", "alpha, third edition"},
                         {"b.dat", "bravo, third edition"},
                         {"c.cfg", "charlie, third edition"}};
  once = restartDuringDownload(newer);
  EXPECT_EQ(once->Wait(), 0) << once->Err();
  EXPECT_EQ(once->Out(), "MailFilter0: updated 3 files\n");
  EXPECT_EQ(Requests(*server, "RETR b.dat"), 1u) << "the retry reached the restarted server";
  EXPECT_TRUE(harness_.HoldsSet(newer));
}

// What the server sends is not what it announced: every case fails the cycle with the download's
// own error code, after the allowed retry, and leaves the installed set and its reference alone.
TEST_F(HostileServer, ContentThatIsNotWhatWasAnnouncedIsNeverInstalled) {
  HarnessOptions options;
  options.processorKeys = "retries = 1\n";
  harness_.Configure(options);
  InstallOld();

  struct Case {
    const char* what;
    ScriptedFile served;
    const char* code;
  };
  const std::string announced = kNew.at("b.dat");
  ScriptedFile lyingCrc;  // the trigger file's CRC belongs to other bytes of the same length
  lyingCrc.content = "BRAVO, SECOND EDITION";
  ScriptedFile shorter;  // the listing promises the announced size; a shorter file comes
  shorter.content = "bravo";
  shorter.listedSize = announced.size();
  ScriptedFile longer;
  longer.content = announced + ", with a tail";
  longer.listedSize = announced.size();
  ScriptedFile otherFile;  // another file of the set, listed under this name
  otherFile.content = kNew.at("a.dat");
  otherFile.listedSize = kNew.at("a.dat").size();
  const std::vector<Case> cases = {{"a trigger file that lies about a CRC", lyingCrc, "23"},
                                   {"a file shorter than listed", shorter, "1104"},
                                   {"a file longer than listed", longer, "122"},
                                   {"a different file than listed", otherFile, "23"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    harness_.Publish(kNew);
    harness_.server().AddFile("/updates/b.dat", c.served);
    const std::size_t before = Requests(harness_.server(), "RETR b.dat");
    const std::string entry = std::string("Updating the \"\"updates/b.dat\"\" file | ") + c.code;
    const std::size_t logged = Occurrences(harness_.Log(), entry);

    const Result result = harness_.Once();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out, "MailFilter0: failed\n");
    EXPECT_EQ(Occurrences(harness_.Log(), entry), logged + 1) << harness_.Log();
    EXPECT_EQ(Requests(harness_.server(), "RETR b.dat"), before + 2) << "one retry";
    EXPECT_TRUE(harness_.HoldsSet(kOld));
  }

  harness_.Publish(kNew);
  const Result result = harness_.Once();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(harness_.HoldsSet(kNew));
}

}  // namespace
}  // namespace faults
