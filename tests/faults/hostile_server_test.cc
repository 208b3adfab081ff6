// Updates servers that try to hold, starve or flood the updater: a file that trickles in, files
// announced or listed too large to hold (with endless data behind), an FTP-over-TLS setting that
// cannot work, and HTTP names and redirects. Each case ends in a clear log entry within bounded
// time and memory, installs nothing, and the next cycle, with the server honest again, succeeds
// with no manual step.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "support/ftp_servers.h"
#include "support/nginx_server.h"
#include "support/scripted_http_server.h"
#include "support/tls_certs.h"

namespace faults {
namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;
using testing_support::ScriptedFile;
using testing_support::ScriptedResponse;
using namespace std::chrono_literals;

const FileSet kSet = {{"a.dat", std::string(5000, 'a')}, {"b.dat", "bravo"}, {"c.cfg", "charlie"}};

// The peak resident memory of a running process (VmHWM), in bytes; 0 when it cannot be read.
std::uint64_t PeakResident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// A server that sends the end of a file at one byte a second, never stalling outright, cannot
// hold a stop: `once --timeout N` ends within N + 5 s, a stop signal within a few seconds, each
// with the abandoned download and the stop in the log and nothing installed; a `once` killed
// outright changes none of the schedule's properties. Slower than the least rate over the stall
// limit, the download fails as a time-out on its own.
TEST(HostileServer, TricklingServerHoldsNeitherAStopNorTheNextCycle) {
  UpdaterHarness harness;
  harness.Publish(kSet);
  harness.server().AddFile(
      "/updates/a.dat", ScriptedFile{kSet.at("a.dat"), {}, ScriptedFile::Fault::kDripAfter, 4096});
  harness.Configure("backup", "stall_timeout_ms = 60000\nmin_rate_bytes_per_s = 0\n");
  const std::string abandoned = "Updating the \"\"updates/a.dat\"\" file | 12017";
  const std::string suspended =
      "Updating the \"\"updates\\a.dat\"\" file | Service shutting down.  Update process "
      "suspended with 2 files still to update.";

  // A stop also ends the download's further attempts (retries = 2): one RETR a run.
  const auto retrievals = [&] {
    return program_test::Count(harness.server().Transcript(), "RETR a.dat");
  };
  auto start = Clock::now();
  const Result timedOut = program_test::RunUpdater({"once", "--timeout", "3"}, harness.config());
  EXPECT_LT(Clock::now() - start, 3s + 5s);
  EXPECT_EQ(timedOut.status, 1) << timedOut.err;
  EXPECT_EQ(timedOut.out, "MailFilter0: failed\n");
  EXPECT_THAT(timedOut.err, HasSubstr("no result within 3 seconds"));
  EXPECT_EQ(Occurrences(harness.Log(), abandoned), 1u) << harness.Log();
  EXPECT_EQ(Occurrences(harness.Log(), suspended), 1u) << harness.Log();

  for (const auto& [command, sig, status, err, out] :
       {std::tuple{"run", SIGTERM, 0, "stopping on SIGTERM", ""},
        {"once", SIGTERM, 1, "interrupted by SIGTERM", "MailFilter0: failed\n"},
        {"once", SIGINT, 1, "interrupted by SIGINT", "MailFilter0: failed\n"},
        {"once", SIGKILL, -1, "", ""}}) {
    SCOPED_TRACE(std::string(command) + " " + err);
    const long before = retrievals();
    Updater updater({command, "-c", harness.config()});
    ASSERT_TRUE(Eventually([&] { return retrievals() > before; })) << updater.Err();
    updater.Signal(sig);
    start = Clock::now();
    EXPECT_EQ(updater.Wait(), status) << updater.Err();
    EXPECT_LT(Clock::now() - start, 2s + 5s);
    EXPECT_THAT(updater.Err(), HasSubstr(err));
    EXPECT_EQ(updater.Out(), out);
  }
  EXPECT_EQ(Occurrences(harness.Log(), suspended), 4u) << harness.Log();
  EXPECT_EQ(retrievals(), 5);
  // A once killed outright leaves the schedule's properties as the last finished run left them.
  for (const char* name : {"UpdateNow", "NextUpdateTime"}) {
    EXPECT_EQ(program_test::RunUpdater({"get", "MailFilter0", name}, harness.config()).out, "0\n")
        << name;
  }
  EXPECT_EQ(
      program_test::RunUpdater({"get", "MailFilter0", "LastUpdateTime"}, harness.config()).status,
      1);
  EXPECT_FALSE(FileExists(harness.Definitions() + "/trigger.crc"));

  // 1024 bytes a second at least, in every window of the stall limit: the 4096 bytes that came
  // at once do not pay for the trickle after them.
  harness.Configure("backup", "stall_timeout_ms = 2000\n", "", "retries = 0\n");
  EXPECT_EQ(program_test::RunUpdater({"once", "--timeout", "30"}, harness.config()).status, 1);
  const std::string stalled =
      " error VARAZO[1001] MailFilter0: Updating the \"\"updates/a.dat\"\" "
      "file | 12002 [the server did not answer within the time limit]\n";
  EXPECT_EQ(Occurrences(harness.Log(), stalled), 1u) << harness.Log();
  EXPECT_FALSE(FileExists(harness.Definitions() + "/trigger.crc"));

  harness.Publish(kSet);
  EXPECT_EQ(harness.Once().status, 0) << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kSet));
}

// A trigger file announced as 3 GiB and a definition file listed as 4 GiB - 1, both with endless
// data behind, in both update slots at once: each is refused before anything is allocated, with
// an entry that gives the size and the limit, and the process's peak memory stays within what an
// honest cycle takes plus 16 MiB. Honest again, both processors update.
TEST(HostileServer, FilesTooLargeToHoldAreRefusedInBothSlotsAtOnce) {
  UpdaterHarness harness;
  // big.dat is exactly the limit, and more than a trigger file's.
  const FileSet honest = {{"big.dat", std::string(17 << 20, 'b')}, {"c.cfg", "charlie"}};
  harness.Publish(honest);
  harness.server().AddFile("/updates/big.dat",
                           ScriptedFile{"", 0xFFFFFFFFu, ScriptedFile::Fault::kEndlessAfter, 0});
  testing_support::ScriptedHttpServer http;
  http.Serve("/updates/trigger.crc",
             {200, "", {}, "3221225472", {}, ScriptedResponse::Fault::kEndlessAfter, 0, {}});
  http.ServeBody("/updates/trigger.crc", TriggerFor(honest));
  for (const auto& [name, content] : honest) http.ServeBody("/updates/" + name, content);
  harness.Configure("backup", "stall_timeout_ms = 10000\nmax_file_size = 17825792\n", "",
                    "[[processor]]\nname = \"Other\"\nserver = \"" + http.url() +
                        "\"\nremote_dir = \"updates\"\nroot_dir = \"other\"\n"
                        "trigger_file = \"trigger.crc\"\nextensions = \"dat,cfg\"\n");
  const std::string other = harness.Path("other");

  // A service run, so that its memory can be read while it lives, until `done` holds.
  const auto peakOfRun = [&](const std::function<bool()>& done) {
    Updater service({"run", "-c", harness.config()});
    EXPECT_TRUE(Eventually(done)) << harness.Log();
    const std::uint64_t peak = PeakResident(service.pid());
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0) << service.Err();
    return peak;
  };
  const std::uint64_t hostilePeak = peakOfRun([&] {
    const std::string log = harness.Log();
    for (const std::string entry :
         {"Updating the \"\"updates/big.dat\"\" file | The server announces 4294967295 "
          "bytes, more than the limit of 17825792 bytes.",
          "Updating the \"\"updates/big.dat\"\" file | 8",
          "Updating the \"\"trigger.crc\"\" file | The server announces 3221225472 bytes, "
          "more than the limit of 16777216 bytes.",
          "Updating the \"\"trigger.crc\"\" file | 8"}) {
      if (log.find(entry) == std::string::npos) return false;
    }
    return true;
  });
  EXPECT_FALSE(FileExists(harness.Definitions() + "/trigger.crc"));
  EXPECT_FALSE(FileExists(other + "/definitions/trigger.crc"));
  EXPECT_EQ(Occurrences(harness.Log(), "bytes, more than the limit of 17825792"), 1u)
      << "once for the file, not for each of its three attempts";

  harness.Publish(honest);
  const std::uint64_t honestPeak = peakOfRun([&] {
    return harness.HoldsSet(honest) && FileExists(other + "/definitions/trigger.crc") &&
           ReadFile(other + "/definitions/big.dat") == honest.at("big.dat") &&
           harness.Log().find("Update cycle of the Other definition files | updated 2 files") !=
               std::string::npos;  // each slot's outcome told
  });
  ASSERT_GT(hostilePeak, 0u);
  EXPECT_LT(hostilePeak, honestPeak + (16u << 20));
}

// FTP over TLS in active mode cannot work with this system's libcurl: the configuration is
// refused with its line, and a passive-FTP property that asks for it at run time fails the cycle
// at once with an entry that says why, not after a stall limit. With the property fixed, the
// next cycle updates over TLS.
TEST(HostileServer, FtpOverTlsInActiveModeIsRefusedAtOnce) {
  UpdaterHarness harness;
  const std::string served = harness.Path("served");
  program_test::Publish(served + "/updates/", kSet);
  testing_support::MakeDirectories(served + "/certs");
  const testing_support::TestCertificates certs =
      testing_support::MakeTestCertificates(served + "/certs");
  testing_support::PyFtpServer server(
      {served, {{"updater", "Filter"}}, false, true, certs.serverCert, certs.serverKey});
  const std::string url = "ftps://127.0.0.1:" + std::to_string(server.port());
  const std::string network = "stall_timeout_ms = 30000\nca_file = \"" + certs.caCert + "\"\n";
  harness.Configure("backup", network, "ftp://127.0.0.1:1",
                    "passive = false\ndefault_server = \"" + url + "\"\n");  // the fallback
  const Result refused = harness.Once();
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr(harness.config() + ":19: processor.passive = false cannot "
                                                        "serve the ftps:// server"));
  EXPECT_THAT(refused.err, HasSubstr("use passive = true"));
  EXPECT_TRUE(server.Transcript().empty());

  harness.Configure("backup", network, url);
  std::vector<std::string> setPassive = {"set", "MailFilter0", "PassiveFtp", "0"};
  ASSERT_EQ(program_test::RunUpdater(setPassive, harness.config()).status, 0);
  const auto start = Clock::now();
  EXPECT_EQ(harness.Once().status, 1);
  EXPECT_LT(Clock::now() - start, 30s);  // below the stall limit
  EXPECT_THAT(harness.Log(), HasSubstr("Connecting to the Mail Filter updates server | 12016: "
                                       "The operation is not offered with these settings: FTP "
                                       "over TLS works in passive mode only."));
  EXPECT_EQ(server.CountCommands("USER"), 0u);

  setPassive.back() = "1";
  ASSERT_EQ(program_test::RunUpdater(setPassive, harness.config()).status, 0);
  harness.Configure("backup", "stall_timeout_ms = 30000\n", url);  // an authority it does not know
  EXPECT_EQ(harness.Once().status, 1);
  EXPECT_THAT(harness.Log(), HasSubstr("Connecting to the Mail Filter updates server | 12045"));
  harness.Configure("backup", network, url);
  EXPECT_EQ(harness.Once().status, 0) << harness.Log();
  EXPECT_TRUE(harness.HoldsSet(kSet));
  EXPECT_EQ(harness.Log().find("********"), std::string::npos) << harness.Log();
}

// Over HTTP a name is the file's name, whatever it holds ('?', '%', '#' are escaped in the
// request), and a redirect to another server is named in an operation entry, once, with TLS
// verified at the new address: untrusted it fails the cycle, trusted the cycle succeeds.
TEST(HostileServer, HttpNamesReachTheirFilesAndRedirectsElsewhereAreNamed) {
  if (!testing_support::NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
  UpdaterHarness harness;
  const FileSet set = {
      {"q?x.dat", "query"}, {"100%.dat", "percent"}, {"#1.dat", "hash"}, {"b.dat", "bravo"}};
  const std::string www = harness.Path("www");
  testing_support::WriteFile(www + "/updates/trigger.crc", TriggerFor(set));
  testing_support::WriteFile(www + "/updates/b.dat", set.at("b.dat"));
  testing_support::MakeDirectories(www + "/certs");
  const testing_support::TestCertificates certs =
      testing_support::MakeTestCertificates(www + "/certs");
  testing_support::NginxServer elsewhere({www, certs.serverCert, certs.serverKey});
  const std::string moved = "https://localhost:" + std::to_string(elsewhere.port());
  testing_support::ScriptedHttpServer http;
  for (const char* name : {"trigger.crc", "b.dat"}) {
    http.Serve(std::string("/updates/") + name,
               {302, "", {}, {}, {"Location: " + moved + "/updates/" + name}, {}, 0, {}});
  }
  http.ServeBody("/updates/q%3Fx.dat", set.at("q?x.dat"));
  http.ServeBody("/updates/100%25.dat", set.at("100%.dat"));
  http.ServeBody("/updates/%231.dat", set.at("#1.dat"));
  harness.Configure("backup", "",
                    http.url());  // the system's store does not know the test authority
  EXPECT_EQ(harness.Once().status, 1);
  EXPECT_EQ(Occurrences(harness.Log(), "Updating the \"\"updates\\trigger.crc\"\" file | 3"), 1u)
      << harness.Log();
  EXPECT_TRUE(elsewhere.RequestLines().empty());

  harness.Configure("backup", "ca_file = \"" + certs.caCert + "\"\n", http.url());
  // A plan over HTTP, which reads no listing, foresees the cycle that follows.
  EXPECT_EQ(program_test::RunUpdater({"once", "--dry-run"}, harness.config()).status, 0);
  EXPECT_EQ(harness.Once().status, 0) << harness.Log();
  EXPECT_EQ(Occurrences(harness.Log(),
                        "Updating the \"\"updates\\trigger.crc\"\" file | The "
                        "server sent the request on to another server: " +
                            moved + "/updates/trigger.crc"),
            1u)
      << harness.Log();
  EXPECT_EQ(Occurrences(harness.Log(), "on to another server"), 1u);  // b.dat went there too
  for (const auto& [name, content] : set) EXPECT_EQ(harness.Installed(name), content) << name;
  EXPECT_EQ(elsewhere.RequestLines(3).size(), 3u);
  // Kept alive from one request to the next: one connection a run (the plan's one of them).
  EXPECT_EQ(elsewhere.RequestConnections(), 2u);
  EXPECT_EQ(http.RequestConnections(), 3u);
}

}  // namespace
}  // namespace faults
