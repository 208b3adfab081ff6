// Both update slots at work at once against one FTP server, each driven by update-now requests,
// while two host threads start and stop the slots, racing each other as well. Every round
// publishes a new edition of both sets, so every cycle downloads and the stops fall in the middle
// of downloads. The slots must not disturb each other, a stop in the middle of a cycle must not
// pass for altered definition files, and in the end each definitions directory holds the last
// edition whole and nothing is left open or allocated.
//
// Then both slots in verified mode at once, each with its own publisher's key: each installs its
// own signed set (signed by a clock ahead of this one: not old), refuses the other's key and,
// configured anew, its set signed again as older.
//
// Built into the ThreadSanitizer suite, this is the test that puts the library's shared state
// (slots, property store, log, internet layer, and the verified state: settings, cached
// reference, libsodium and libcrypto) under two workers and the host threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "integrity/signed_manifest.h"
#include "platform/internet/internet.h"
#include "platform/win32.h"
#include "service/update_slot.h"
#include "service/verified_mode.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/minisign.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;

constexpr int kEditions = 8;
// Generous: a pass takes a second or two, many times that under a sanitizer on a busy machine.
constexpr auto kLimit = std::chrono::seconds(180);

// An edition of a processor's set: files of a few sizes, the larger ones big enough that a stop
// can fall between two downloads, and last the trigger file.
std::vector<std::pair<std::string, std::string>> Edition(const std::string& tag, int edition) {
  std::vector<std::pair<std::string, std::string>> files;
  std::string trigger;
  for (std::size_t size : {16, 1000, 40000, 150000, 300000}) {
    files.emplace_back(std::to_string(size) + (size > 1000 ? ".dat" : ".cfg"),
                       tag + std::to_string(edition) + std::string(size, 'a' + edition));
    trigger += ChecksumLine(files.back().first, files.back().second);
  }
  files.emplace_back("trigger.crc", trigger);
  return files;
}

TEST(ConcurrencyTest, BothSlotsUpdateWhileHostThreadsStartAndStopThem) {
  // The slots are the process's own and outlive a test.
  for (UpdateSlot* slot : {&g_filterSlot, &g_defaultSlot}) slot->m_bIllegalUpdates.store(0);
  TempDir dir;
  TestConfig both[] = {{"MailFilter0", dir / "filter"}, {"AntiVirus", dir / "antivirus"}};
  SetInternetTimeouts({5000, 5000});
  const std::size_t handlesBefore = CountOpenHandles();
  const std::size_t blocksBefore = CMemoryDebugging::OutstandingBlocks();
  // Publishes as a publisher would: each file renamed into place, the trigger file last, so the
  // server never serves half a file.
  auto publish = [&](int edition) {
    for (TestConfig& config : both) {
      const std::string served = dir / ("served/" + config.processor() + "/");
      for (const auto& [name, content] : Edition(config.processor(), edition)) {
        WriteFile(served + ".part", content);
        std::filesystem::rename(served + ".part", served + name);
      }
    }
  };
  publish(1);
  // Serves dir/served to the configurations' user, without TLS.
  PyFtpServer server({dir / "served", {{"updater", "s3cret-pass"}}});
  const std::string address = "ftp://127.0.0.1:" + std::to_string(server.port());
  for (TestConfig& config : both) {
    config.SetText(&UpdateConfig::remoteDirectory, config.processor().c_str());
    config.SetText(&UpdateConfig::serverName, address.c_str());
    config.SetDword("UpdateInterval", 0);  // only requested cycles
  }
  LogCapture log;  // keeps the many expected failures (cycles cut short by a stop) off stderr

  // A host thread starts both slots, lets them run a while and stops them, three times in four.
  std::atomic<bool> editionsDone{false};
  auto host = [&](unsigned seed) {
    std::minstd_rand random(seed);
    for (int i = 0; !editionsDone; ++i) {
      for (TestConfig& config : both) EXPECT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
      // Stop once 0 to 11 more files are being retrieved (both slots' cycles fetch 12), so that
      // stops fall before, during and after downloads, or after 5 s when nothing is going on.
      const std::size_t retrievals = server.CountCommands("RETR") + random() % 12;
      for (int step = 0; step < 1000 && !editionsDone && server.CountCommands("RETR") < retrievals;
           ++step)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (i % 4 != 3) StopRepositoryUpdateThread();
    }
  };
  std::thread hosts[] = {std::thread(host, 20261205u), std::thread(host, 7u)};
  std::uint32_t value = 0;
  for (int edition = 1; edition <= kEditions; ++edition) {
    publish(edition);
    for (TestConfig& config : both) config.SetDword("UpdateNow", 1);
    // A worker clears the request after its pass; a stopped slot takes it up once restarted.
    for (TestConfig& config : both)
      EXPECT_TRUE(config.WaitForDwordOtherThan("UpdateNow", 1, &value, kLimit))
          << config.processor() << " edition " << edition << ": " << log.Dump();
  }
  editionsDone = true;
  for (std::thread& thread : hosts) thread.join();

  // Both slots running: request cycles until each has had one that succeeded (a successful cycle
  // records its time). The last edition is then installed whole.
  for (TestConfig& config : both) {
    EXPECT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
    config.SetDword("LastUpdateTime", 0);
    value = 0;
    for (int pass = 0; pass < 10 && value == 0; ++pass) {
      config.SetDword("UpdateNow", 1);
      EXPECT_TRUE(config.WaitForDwordOtherThan("UpdateNow", 1, &value, kLimit)) << log.Dump();
      config.GetDword("LastUpdateTime", &value);
    }
    EXPECT_NE(value, 0u) << config.processor() << "\n" << log.Dump();
  }
  StopRepositoryUpdateThread();
  for (TestConfig& config : both) {
    for (const auto& [name, content] : Edition(config.processor(), kEditions))
      EXPECT_EQ(ReadFile(config.definitionsDir() + "/" + name), content) << name;
  }
  EXPECT_EQ(CountOpenHandles(), handlesBefore);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore);

  // Verified mode: each slot first trusts the other's key only, then its own; the settings change
  // only while its worker is stopped. Last, the installed set is signed again as older than it:
  // a slot configured anew reads the recorded version back and refuses it.
  const MinisignKey keys[] = {{dir, "filter"}, {dir, "antivirus"}};
  publish(kEditions + 1);
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 2; ++i) {
      if (round != 1)
        keys[i].SignDirectory(
            dir / ("served/" + both[i].processor()), "trigger.crc",
            {"-t", "timestamp:" + std::to_string(round == 0 ? CurrentTime32() + 86400u : 1000u)});
      auto settings = std::make_shared<VerifiedModeSettings>();
      settings->maxSignatureAgeSecs = 3600;
      settings->keys.push_back(
          integrity::ParsePublicKey(keys[round == 0 ? 1 - i : i].pubFile).value);
      ASSERT_TRUE(ConfigureVerifiedMode(both[i].processor().c_str(), settings));
    }
    for (TestConfig& config : both) {
      config.SetDword("LastUpdateTime", 0);
      config.SetDword("UpdateNow", 1);  // the first pass of the worker runs a cycle
      ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
    }
    EXPECT_FALSE(ConfigureVerifiedMode("MailFilter0", nullptr));  // its worker runs
    for (TestConfig& config : both) {
      EXPECT_TRUE(config.WaitForDwordOtherThan("UpdateNow", 1, &value, kLimit)) << log.Dump();
      config.GetDword("LastUpdateTime", &value);
      EXPECT_EQ(value != 0, round == 1) << config.processor() << "\n" << log.Dump();
      EXPECT_EQ(ReadFile(config.definitionsDir() + "/16.cfg"),
                Edition(config.processor(), round == 0 ? kEditions : kEditions + 1)[0].second);
    }
    StopRepositoryUpdateThread();
  }
  for (TestConfig& config : both)
    ASSERT_TRUE(ConfigureVerifiedMode(config.processor().c_str(), nullptr));
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
  EXPECT_FALSE(log.Contains([](const LogEntry& entry) {
    return entry.texts.size() == 2 && entry.texts[1].find("max_signature_age") != std::string::npos;
  })) << log.Dump();
}

}  // namespace
