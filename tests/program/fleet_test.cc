// What a fleet relies on: mirrors that take over from one another, and a metrics file whose values
// follow success, failure and tampering and that Prometheus's own checker accepts.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program/updater_process.h"
#include "support/process.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using program_test::Eventually;
using program_test::RunUpdater;
using testing::HasSubstr;
using testing_support::ReadFile;
using testing_support::ScriptedFtpServer;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Ftp(std::uint16_t port) {
  return "ftp://127.0.0.1:" + std::to_string(port);
}

// A set of two files on `server` under /updates, with its trigger file made by the program.
void Publish(const TempDir& dir, ScriptedFtpServer& server, const std::string& edition = "") {
  program_test::Publish(dir / "set/",
                        {{"a.dat", "alpha" + edition}, {"b.cfg", "bravo!" + edition}});
  for (const std::string name : {"a.dat", "b.cfg", "trigger.crc"})
    server.AddFile("/updates/" + name, ReadFile(dir / ("set/" + name)));
}

// MailFilter0 with `servers` (a TOML array), metrics in metrics/updater.prom.
std::string WriteConfig(const TempDir& dir, const std::string& servers,
                        const std::string& keys = "") {
  return program_test::WriteConfig(dir, "[metrics]\ntextfile = \"metrics/updater.prom\"\n",
                                   "[" + servers + "]", "retries = 0\n" + keys);
}

// The value of the sample `series` (name and labels) in a metrics file; "" when it is missing.
std::string Sample(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos) return "";
  const std::size_t begin = at + series.size() + 2;
  return metrics.substr(begin, metrics.find('\n', begin) - begin);
}

std::string Of(const std::string& metric) {
  return "repository_updater_" + metric + "{processor=\"MailFilter0\"}";
}

// promtool's findings on the file, or "" when it has none (and when promtool is not installed).
std::string PromtoolFindings(const TempDir& dir) {
  if (access("/usr/bin/promtool", X_OK) != 0) return "";
  const std::string out = dir / "promtool.out";
  const int status = testing_support::ChildProcess::Run(
      {"/bin/sh", "-c", "/usr/bin/promtool check metrics <\"$0\" >\"$1\" 2>&1",
       dir / "metrics/updater.prom", out});
  return status == 0 ? "" : "promtool: " + ReadFile(out);
}

// `once` against a mirror that refuses the login, a dead one and a working one, the service sent
// back to the first, then `once` against dead ones only with an altered installed file: each run's
// exit status, log, status and metrics.
TEST(Mirrors, OnceAndTheServiceMoveOnAfterAFailedCycleAndTheMetricsFollow) {
  TempDir dir;
  ScriptedFtpServer refusing, good;
  refusing.Reply("PASS", "530 Login incorrect.\r\n");
  Publish(dir, refusing);
  Publish(dir, good);
  // An https mirror without a port is probed on 443, where nothing answers, not on 80, where
  // something does (when the test may take the ports).
  const testing_support::Listener http(0x7f000002, 80, false), https(0x7f000002, 443, true);
  const std::string first = Ftp(refusing.port()), dead = "https://127.0.0.2";
  const std::string config =
      WriteConfig(dir, "\"" + first + "\", \"" + dead + "\", \"" + Ftp(good.port()) + "\"",
                  "retry_interval = 1\nprobe_timeout_ms = 60000\n");
  const std::string metrics = dir / "metrics/updater.prom";
  const std::string mirror = "repository_updater_mirror_info{processor=\"MailFilter0\",mirror=\"";
  const mode_t umask = ::umask(077);  // strict: the collector is another user
  testing_support::WriteFile(metrics + ".tmp", "left by a killed run");

  // The first mirror answers the probe, then refuses the login: the cycle fails on it.
  program_test::Result result = RunUpdater({"once"}, config);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_THAT(ReadFile(dir / "log"),
              HasSubstr(" operation repository-updater[13] MailFilter0: Mirror of the Mail Filter "
                        "updates server for this cycle | " +
                        first + "\n"));
  EXPECT_EQ(Sample(ReadFile(metrics), Of("last_cycle_success")), "0");
  EXPECT_EQ(Sample(ReadFile(metrics), Of("last_success_timestamp_seconds")), "0");
  EXPECT_THAT(ReadFile(dir / "log"), testing::Not(HasSubstr("Metrics file not written")));
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("update:    never\n  next update:               not scheduled\n"));
  EXPECT_EQ(Sample(ReadFile(metrics), mirror + dead + "\"}"), "1") << "the next one to try";
  EXPECT_EQ(std::filesystem::status(metrics).permissions(), std::filesystem::perms(0644));
  ::umask(umask);

  // The next run starts at the dead mirror, which does not answer, and is served by the third;
  // the silent mirror is given up after a short wait, not probe_timeout_ms.
  const auto started = std::chrono::steady_clock::now();
  result = RunUpdater({"once"}, config);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "MailFilter0: updated 2 files\n");
  EXPECT_THAT(ReadFile(dir / "log"), HasSubstr("for this cycle | " + Ftp(good.port()) +
                                               " | not answering: " + dead + "\n"));
  EXPECT_EQ(good.CountCommands("RETR"), 3u);
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("\n  mirror in use:             " + Ftp(good.port()) + "\n"));
  const std::string updated = ReadFile(metrics);
  EXPECT_EQ(Sample(updated, Of("running")), "0");
  EXPECT_EQ(Sample(updated, Of("last_cycle_success")), "1");
  EXPECT_EQ(Sample(updated, Of("last_cycle_fetched_files")), "2");
  EXPECT_EQ(Sample(updated, Of("last_cycle_fetched_bytes")), "11");
  EXPECT_EQ(Sample(updated, Of("invalid_definition_files")), "0");
  EXPECT_EQ(Sample(updated, mirror + Ftp(good.port()) + "\"}"), "1");
  EXPECT_NE(Sample(updated, Of("last_attempt_timestamp_seconds")), "");

  // The service, sent back to the refusing mirror, moves on after its failed cycle and stays on
  // the mirror that served it; it counts its cycles, and says it runs while it does.
  ASSERT_EQ(RunUpdater({"set", "MailFilter0", "MirrorInUse", first, "--text"}, config).status, 0);
  ASSERT_EQ(RunUpdater({"update-now", "MailFilter0"}, config).status, 0);
  program_test::Updater service({"run", "-c", config});
  const std::string cycles = "repository_updater_cycles_total{processor=\"MailFilter0\",result=";
  const auto succeeded = [&](const char* count) {
    return Eventually([&] { return Sample(ReadFile(metrics), cycles + "\"success\"}") == count; });
  };
  ASSERT_TRUE(succeeded("1")) << service.Err() << ReadFile(dir / "log");
  EXPECT_EQ(Sample(ReadFile(metrics), Of("running")), "1");
  Publish(dir, good, " 2");  // both files new: the cycle records them for the check below
  ASSERT_EQ(RunUpdater({"update-now", "MailFilter0"}, config).status, 0);
  ASSERT_TRUE(succeeded("2")) << ReadFile(dir / "log");
  service.Signal(SIGTERM);
  ASSERT_EQ(service.Wait(), 0) << service.Err();
  EXPECT_THAT(RunUpdater({"status"}, config).out,
              HasSubstr("  next update:               not scheduled\n"));  // none once it stops
  const std::string served = ReadFile(metrics);
  EXPECT_EQ(Sample(served, cycles + "\"failure\"}"), "1");
  EXPECT_EQ(Sample(served, Of("running")), "0");
  EXPECT_EQ(PromtoolFindings(dir), "");
  EXPECT_EQ(refusing.CountCommands("PASS"), 2u);
  const std::string lastSuccess = Sample(served, Of("last_success_timestamp_seconds"));
  EXPECT_EQ(lastSuccess + "\n", RunUpdater({"get", "MailFilter0", "LastUpdateTime"}, config).out);

  // No mirror answers and an installed file was altered: tampering, the last success kept; the
  // cycle stays on the mirror in use.
  const std::string installed = ReadFile(dir / "filter/definitions/a.dat");
  WriteFile(dir / "filter/definitions/a.dat", "altered");
  const std::string deadToo = Ftp(ScriptedFtpServer::RefusingPort());
  WriteConfig(dir, "\"" + deadToo + "\", \"" + dead + "\"",  // beside a name the metrics escape
              "probe_timeout_ms = 100\n[[processor]]\nname = 'A\\\"B\\'\nserver = \"" + deadToo +
                  "\"\nroot_dir = \"b\"\ntrigger_file = \"t\"\nextensions = \"dat\"\n");
  ASSERT_EQ(RunUpdater({"set", "MailFilter0", "MirrorInUse", dead, "--text"}, config).status, 0);
  result = RunUpdater({"once"}, config);
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_THAT(ReadFile(dir / "log"),
              HasSubstr(" error repository-updater[14] MailFilter0: No mirror of the Mail Filter "
                        "updates server answers | " +
                        deadToo + ", " + dead + " | the cycle tries " + dead + "\n"));
  const std::string tampered = ReadFile(metrics);
  EXPECT_EQ(Sample(tampered, mirror + deadToo + "\"}"), "1") << "the next one to try";
  EXPECT_EQ(Sample(tampered, Of("invalid_definition_files")), "1");
  EXPECT_EQ(Sample(tampered, Of("last_success_timestamp_seconds")), lastSuccess);
  EXPECT_EQ(PromtoolFindings(dir), "");
  // The file put back, the next run finds nothing, but the alarm stays until it is cleared.
  WriteFile(dir / "filter/definitions/a.dat", installed);
  EXPECT_EQ(RunUpdater({"once"}, config).status, 1);
  EXPECT_EQ(Sample(ReadFile(metrics), Of("invalid_definition_files")), "1");
  // A directory in the file's place: the run says so, once, and leaves no temporary file behind.
  ASSERT_TRUE(std::filesystem::remove(metrics) && std::filesystem::create_directory(metrics));
  RunUpdater({"once"}, config);
  const std::string log = ReadFile(dir / "log"), entry = "Metrics file not written | " + metrics;
  EXPECT_THAT(log, HasSubstr(" error repository-updater[15] " + entry + " | Is a directory\n"));
  EXPECT_EQ(log.find(entry), log.rfind(entry));
  EXPECT_FALSE(std::filesystem::exists(metrics + ".tmp"));
}

}  // namespace
