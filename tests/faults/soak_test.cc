// Many cycles in one process against a local FTP server, alternating a new set and no change:
// every cycle succeeds and signals a whole set, and after a warm-up nothing grows: the tracing
// allocator's outstanding blocks, the platform's open handles, the process's file descriptors
// and its resident memory.
//
// FR_SOAK_CYCLES sets the number of run-object cycles (CI runs a short soak; scripts/soak.sh
// runs 1,000 and prints the figures), FR_SOAK_PASSES the number of start-cycle-stop passes
// through the exported entry points.
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "faults/updater_harness.h"
#include "filerepository/filerepository.h"
#include "ftp/ftp_updates.h"
#include "host/utility.h"
#include "platform/internet/internet.h"
#include "support/ftp_servers.h"
#include "update/local_transport.h"

namespace faults {
namespace {

using testing_support::TestConfig;
using testing_support::TestSlot;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers hold freed memory back on purpose: resident memory says nothing about leaks there.
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif
// Allocator arenas and caches may settle a little after the warm-up; a leak of even a few hundred
// bytes a cycle exceeds this over the CI soak's cycles.
constexpr long kResidentGrowthLimitKb = 1024;

struct Figures {
  std::size_t blocks = 0;
  std::size_t handles = 0;
  std::size_t descriptors = 0;
  long residentKb = 0;
};

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  if (DIR* directory = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(directory)) count += entry->d_name[0] != '.';
    closedir(directory);
    --count;  // the descriptor of the listing itself
  }
  return count;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

Figures Measure() {
  return {CMemoryDebugging::OutstandingBlocks(), CountOpenHandles(), OpenDescriptors(),
          ResidentKb()};
}

int FromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// Prints the figures (scripts/soak.sh shows these lines) and checks that nothing grew between
// the end of the warm-up and the end of the soak.
void Report(const char* what, int cycles, int warmUp, const Figures& base, const Figures& end,
            std::chrono::steady_clock::duration spent) {
  const double msPerCycle = std::chrono::duration<double, std::milli>(spent).count() /
                            static_cast<double>(cycles - warmUp);
  std::printf(
      "soak: %s: %d cycles; from cycle %d to the end: traced blocks %zu -> %zu, handles %zu -> "
      "%zu, descriptors %zu -> %zu, VmRSS %ld -> %ld kB; %.1f ms a cycle\n",
      what, cycles, warmUp, base.blocks, end.blocks, base.handles, end.handles, base.descriptors,
      end.descriptors, base.residentKb, end.residentKb, msPerCycle);
  std::fflush(stdout);
  EXPECT_EQ(end.blocks, base.blocks);
  EXPECT_EQ(end.handles, base.handles);
  EXPECT_EQ(end.descriptors, base.descriptors);
  if (kResidentMemoryMeaningful) {
    EXPECT_LE(end.residentKb - base.residentKb, kResidentGrowthLimitKb);
  }
}

class Soak : public testing::Test {
 protected:
  Soak() : config_("MailFilter0", dir_ / "root") {
    testing_support::MakeDirectories(served_ + "/updates");
    testing_support::PyFtpServerOptions options;
    options.root = served_;
    options.users = {{"updater", "s3cret-pass"}};
    server_ = std::make_unique<testing_support::PyFtpServer>(options);
    config_.SetText(&UpdateConfig::serverName,
                    ("ftp://127.0.0.1:" + std::to_string(server_->port())).c_str());
    SetInternetTimeouts({10000, 10000});
    SetLogLineSinkEnabled(false);  // a thousand cycles would flood stderr
  }
  ~Soak() override {
    SetLogLineSinkEnabled(true);
    SetInternetTimeouts({});
  }

  // Even cycles get a new set (a.dat always changes, b.dat every other time), odd ones none.
  void PublishFor(int cycle) {
    if (cycle % 2 != 0) return;
    const int edition = cycle / 2;
    set_ = {{"a.dat", "alpha, edition " + std::to_string(edition)},
            {"b.dat", "bravo, edition " + std::to_string(edition / 2)},
            {"c.cfg", "charlie"}};
    for (const auto& [name, content] : set_) {
      testing_support::WriteFile(served_ + "/updates/" + name, content);
    }
    testing_support::WriteFile(served_ + "/updates/trigger.crc", TriggerFor(set_));
  }

  // The cycle's result and what it left in the definitions directory.
  testing::AssertionResult Installed() {
    for (const auto& [name, content] : set_) {
      if (ReadFile(config_.definitionsDir() + "/" + name) != content) {
        return testing::AssertionFailure() << name << " is not the published edition";
      }
    }
    return SignalledSetIsWhole(config_.definitionsDir(), "trigger.crc");
  }

  testing_support::TempDir dir_;
  const std::string served_ = dir_ / "served";
  TestConfig config_;
  std::unique_ptr<testing_support::PyFtpServer> server_;
  FileSet set_;
};

TEST_F(Soak, RunObjectCyclesLeaveNothingBehind) {
  const int cycles = FromEnvironment("FR_SOAK_CYCLES", 400);
  const int warmUp = std::min(50, cycles / 4);
  TestSlot slot(config_);
  Figures base;
  auto started = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (cycle == warmUp) {
      base = Measure();
      started = std::chrono::steady_clock::now();
    }
    PublishFor(cycle);
    BOOL result = FALSE;
    {
      CFtpUpdates run(slot.get());
      result = run.RunUpdateCycle();
      // A pass without news is followed by the integrity check, as in requested-only passes.
      if (result && cycle % 2 != 0) {
        EXPECT_EQ(run.CheckInstalledFiles(), 0u);
      }
    }
    ASSERT_TRUE(result) << "cycle " << cycle;
    ASSERT_TRUE(Installed()) << "cycle " << cycle;
  }
  EXPECT_EQ(config_.callbacks().updatesAvailableCalls.load(), (cycles + 1) / 2);
  Report("run objects", cycles, warmUp, base, Measure(),
         std::chrono::steady_clock::now() - started);
}

// Each pass starts the worker through the exports with an update-now request, waits for the end
// of its pass and stops it: slots, threads, events and host handles come and go every time.
TEST_F(Soak, StartCycleStopThroughTheExportsLeavesNothingBehind) {
  constexpr std::uint32_t kRunning = 0xFFFFFFFFu;
  const int passes = FromEnvironment("FR_SOAK_PASSES", 40);
  const int warmUp = std::min(4, passes / 4);
  config_.SetDword("UpdateInterval", 0);  // requested cycles only
  Figures base;
  auto started = std::chrono::steady_clock::now();
  for (int pass = 0; pass < passes; ++pass) {
    if (pass == warmUp) {
      base = Measure();
      started = std::chrono::steady_clock::now();
    }
    PublishFor(pass);
    config_.SetDword("NextUpdateTime", kRunning);
    config_.SetDword("LastUpdateTime", 0);
    config_.SetDword("UpdateNow", 1);
    ASSERT_EQ(StartRepositoryUpdateThread(config_.get()), 1u);
    std::uint32_t next = kRunning;
    ASSERT_TRUE(Eventually([&] {
      return config_.GetDword("NextUpdateTime", &next) && next != kRunning;
    })) << "pass "
        << pass;
    StopRepositoryUpdateThread();
    std::uint32_t last = 0;
    ASSERT_TRUE(config_.GetDword("LastUpdateTime", &last) && last != 0) << "pass " << pass;
    ASSERT_TRUE(Installed()) << "pass " << pass;
  }
  EXPECT_EQ(IllegalUpdatesDetected(), 0u);
  Report("exported entry points", passes, warmUp, base, Measure(),
         std::chrono::steady_clock::now() - started);
}

}  // namespace
}  // namespace faults
