// Many update cycles in one process against a local FTP server, alternating a new set and no
// change: every cycle succeeds and signals a whole set, and after a warm-up nothing grows: the
// tracing allocator's outstanding blocks, the platform's open handles, the file descriptors and
// (without sanitizers, which hold freed memory back on purpose) the resident memory.
//
// FR_SOAK_CYCLES sets the number of cycles; scripts/soak.sh runs 1,000 and prints the figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "platform/internet/internet.h"
#include "support/ftp_servers.h"
#include "update/local_transport.h"

namespace faults {
namespace {

struct Figures {
  std::size_t blocks, handles;
  long descriptors, residentKb;
};

Figures Measure() {
  Figures figures{CMemoryDebugging::OutstandingBlocks(), CountOpenHandles(), 0, -1};
  figures.descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) figures.residentKb = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return figures;
}

TEST(Soak, RunObjectCyclesLeaveNothingBehind) {
  const char* configured = std::getenv("FR_SOAK_CYCLES");
  const int cycles = configured != nullptr ? std::max(4, std::atoi(configured)) : 400;
  const int warmUp = std::min(50, cycles / 4);
  testing_support::TempDir dir;
  testing_support::MakeDirectories(dir / "served/updates");
  testing_support::PyFtpServer server({dir / "served", {{"updater", "s3cret-pass"}}});
  testing_support::TestConfig config("MailFilter0", dir / "root");
  config.SetText(&UpdateConfig::serverName,
                 ("ftp://127.0.0.1:" + std::to_string(server.port())).c_str());
  SetInternetTimeouts({10000, 10000});
  SetLogLineSinkEnabled(false);  // a thousand cycles would flood stderr
  testing_support::TestSlot slot(config);
  FileSet set;
  Figures base{};
  auto started = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (cycle == warmUp) {
      base = Measure();
      started = std::chrono::steady_clock::now();
    }
    if (cycle % 2 == 0) {  // a new set: a.dat changes every time, b.dat every other time
      set = {{"a.dat", "alpha " + std::to_string(cycle)},
             {"b.dat", "bravo " + std::to_string(cycle / 4)}};
      for (const auto& [name, content] : set) {
        testing_support::WriteFile(dir / "served/updates/" + name, content);
      }
      testing_support::WriteFile(dir / "served/updates/trigger.crc", TriggerFor(set));
    }
    CFtpUpdates run(slot.get());
    ASSERT_TRUE(run.RunUpdateCycle()) << "cycle " << cycle;
    // A pass without news is followed by the integrity check, as in requested-only passes.
    EXPECT_EQ(cycle % 2 == 0 ? 0u : run.CheckInstalledFiles(), 0u) << "cycle " << cycle;
    for (const auto& [name, content] : set) {
      ASSERT_EQ(ReadFile(config.definitionsDir() + "/" + name), content) << "cycle " << cycle;
    }
    ASSERT_TRUE(SignalledSetIsWhole(config.definitionsDir())) << "cycle " << cycle;
  }
  const Figures end = Measure();
  const std::chrono::duration<double, std::milli> spent =
      std::chrono::steady_clock::now() - started;
  SetLogLineSinkEnabled(true);
  SetInternetTimeouts({});
  std::printf(
      "soak: %d cycles; from cycle %d: traced blocks %zu -> %zu, handles %zu -> %zu, "
      "descriptors %ld -> %ld, VmRSS %ld -> %ld kB; %.1f ms a cycle\n",
      cycles, warmUp, base.blocks, end.blocks, base.handles, end.handles, base.descriptors,
      end.descriptors, base.residentKb, end.residentKb, spent.count() / (cycles - warmUp));
  EXPECT_EQ(config.callbacks().updatesAvailableCalls.load(), (cycles + 1) / 2);
  EXPECT_EQ(end.blocks, base.blocks);
  EXPECT_EQ(end.handles, base.handles);
  EXPECT_EQ(end.descriptors, base.descriptors);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Allocator arenas may settle a little after the warm-up; a leak of even a few hundred bytes a
  // cycle exceeds this over the CI soak's cycles.
  EXPECT_LE(end.residentKb - base.residentKb, 1024);
#endif
}

}  // namespace
}  // namespace faults
