// Both update slots at work at once against one FTP server, each driven by update-now requests,
// while another thread starts, stops and queries the library as a host may. Every round the server
// publishes a new edition of both sets, so every cycle downloads, and the host thread's stops fall
// in the middle of downloads. The slots must not disturb each other, a stop in the middle of a
// cycle must not pass for altered definition files, and in the end each definitions directory
// holds the last edition whole and nothing is left open or allocated.
//
// Built into the ThreadSanitizer suite, this is also the test that puts the library's shared
// state (slots, property store, log, internet layer) under two workers and a host thread at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "platform/internet/internet.h"
#include "platform/win32.h"
#include "service/update_slot.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using namespace testing_support;

using FileSet = std::vector<std::pair<std::string, std::string>>;

constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;
constexpr int kRounds = 8;
// Generous: a pass takes a second or two, many times that under a sanitizer on a busy machine.
constexpr auto kLimit = std::chrono::seconds(180);

// Files of a few sizes, the larger ones big enough that a stop can fall between two downloads.
FileSet MakeSet(const std::string& tag, int edition) {
  FileSet files;
  const std::size_t sizes[] = {16, 1000, 40000, 150000, 300000};
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    std::string content =
        tag + " edition " + std::to_string(edition) + " file " + std::to_string(i) + "\n";
    while (content.size() < sizes[i]) content += content.substr(0, sizes[i] - content.size());
    files.emplace_back(tag + "-" + std::to_string(i) + (i % 2 == 0 ? ".dat" : ".cfg"), content);
  }
  return files;
}

std::string ChecksumList(const FileSet& files) {
  std::string list;
  for (const auto& [name, content] : files) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%x ",
                  CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
    list += crc + name + "\r\n";
  }
  return list;
}

// Publishes as an updates server's publisher would: every file under a temporary name renamed
// into place, the trigger file last, so the server never serves half a file.
void Publish(const std::string& dir, const FileSet& files) {
  auto put = [&dir](const std::string& name, const std::string& content) {
    WriteFile(dir + "/." + name + ".part", content);
    ASSERT_EQ(std::rename((dir + "/." + name + ".part").c_str(), (dir + "/" + name).c_str()), 0);
  };
  for (const auto& [name, content] : files) put(name, content);
  put("trigger.crc", ChecksumList(files));
}

// One processor: its configuration and the directory its set is served from.
struct Processor {
  Processor(const std::string& name, const TempDir& dir, const std::string& remoteDir)
      : config(name, dir / (name + "-root")), served(dir / ("served/" + remoteDir)) {
    config.SetText(&UpdateConfig::remoteDirectory, remoteDir.c_str());
    config.SetDword("UpdateInterval", 0);  // only requested cycles
    config->retryInterval = 60;
    MakeDirectories(served);
  }

  void Request() { config.SetDword("UpdateNow", 1); }
  bool RequestPending() {
    std::uint32_t value = 0;
    return config.GetDword("UpdateNow", &value) && value != 0;
  }

  TestConfig config;
  std::string served;
};

class ConcurrencyTest : public ::testing::Test {
 protected:
  ConcurrencyTest()
      : filter_("MailFilter0", dir_, "filter"), other_("AntiVirus", dir_, "antivirus") {
    // The slots are the process's own and outlive a test; start from a clean record and flag.
    for (UpdateSlot* slot : {&g_filterSlot, &g_defaultSlot}) {
      slot->m_bIllegalUpdates.store(0);
      slot->m_installedFiles.RemoveAll();
    }
    SetInternetTimeouts({5000, 5000});
  }
  ~ConcurrencyTest() override {
    StopRepositoryUpdateThread();
    SetInternetTimeouts({});
  }

  void Serve() {
    PyFtpServerOptions options;
    options.root = dir_ / "served";
    options.users = {{"updater", "s3cret-pass"}};
    server_ = std::make_unique<PyFtpServer>(options);
    const std::string address = "ftp://127.0.0.1:" + std::to_string(server_->port());
    for (Processor* p : {&filter_, &other_}) {
      p->config.SetText(&UpdateConfig::serverName, address.c_str());
    }
  }

  // Waits until `done` holds; false after kLimit.
  template <typename Condition>
  static bool AwaitCondition(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  TempDir dir_;
  Processor filter_;
  Processor other_;
  std::unique_ptr<PyFtpServer> server_;
};

TEST_F(ConcurrencyTest, BothSlotsUpdateWhileAnotherThreadStartsStopsAndQueries) {
  const std::size_t handlesBefore = CountOpenHandles();
  const std::size_t blocksBefore = CMemoryDebugging::OutstandingBlocks();
  Publish(filter_.served, MakeSet("filter", 1));
  Publish(other_.served, MakeSet("antivirus", 1));
  Serve();
  LogCapture log;  // keeps the many expected failures (cycles cut short by a stop) off stderr

  // The host thread: starts both slots, then either stops them as soon as a download after the
  // trigger file has begun, or after a pause, querying the flag all along.
  std::atomic<bool> churnDone{false};
  std::atomic<int> illegalSeen{0};
  std::atomic<int> stops{0};
  std::thread churn([&] {
    std::minstd_rand random(20261205);
    for (int i = 0; !churnDone.load(); ++i) {
      EXPECT_EQ(StartRepositoryUpdateThread(filter_.config.get()), 1u);
      EXPECT_EQ(StartRepositoryUpdateThread(other_.config.get()), 1u);
      illegalSeen += static_cast<int>(IllegalUpdatesDetected());
      if (i % 2 == 0) {
        const std::size_t retrievals = server_->CountCommands("RETR");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (server_->CountCommands("RETR") < retrievals + 2 && !churnDone.load() &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 1000));
      }
      if (i % 4 != 3) {
        StopRepositoryUpdateThread();
        ++stops;
      }
      illegalSeen += static_cast<int>(IllegalUpdatesDetected());
    }
  });

  for (int round = 0; round < kRounds; ++round) {
    Publish(filter_.served, MakeSet("filter", round + 1));
    Publish(other_.served, MakeSet("antivirus", round + 1));
    filter_.Request();
    other_.Request();
    // A worker clears the request after its pass; a stopped slot takes it up once restarted.
    const bool consumed =
        AwaitCondition([&] { return !filter_.RequestPending() && !other_.RequestPending(); });
    ASSERT_TRUE(consumed) << "round " << round << "\n" << log.Dump();
  }
  churnDone = true;
  churn.join();
  EXPECT_GT(stops.load(), 0);
  EXPECT_EQ(illegalSeen.load(), 0) << log.Dump();

  // Both slots running: request cycles until each has had one that succeeded (a successful cycle
  // records its time). The last edition is then installed whole.
  for (Processor* p : {&filter_, &other_}) {
    p->config.SetDword("LastUpdateTime", 0);
    p->config.SetDword("NextUpdateTime", kSentinel);
    p->Request();
    ASSERT_EQ(StartRepositoryUpdateThread(p->config.get()), 1u);
  }
  auto succeeded = [](Processor* p) {
    std::uint32_t last = 0;
    if (p->config.GetDword("LastUpdateTime", &last) && last != 0) return true;
    std::uint32_t next = kSentinel;
    if (p->config.GetDword("NextUpdateTime", &next) && next != kSentinel) {
      p->config.SetDword("NextUpdateTime", kSentinel);  // that pass failed: ask again
      p->Request();
    }
    return false;
  };
  ASSERT_TRUE(AwaitCondition([&] {
    const bool filterDone = succeeded(&filter_);
    const bool otherDone = succeeded(&other_);
    return filterDone && otherDone;
  })) << log.Dump();
  StopRepositoryUpdateThread();

  for (auto [p, tag] : {std::pair{&filter_, "filter"}, std::pair{&other_, "antivirus"}}) {
    const std::string definitions = p->config.definitionsDir();
    for (const auto& [name, content] : MakeSet(tag, kRounds)) {
      EXPECT_EQ(ReadFile(definitions + "/" + name), content) << name;
    }
    EXPECT_EQ(ReadFile(definitions + "/trigger.crc"), ReadFile(p->served + "/trigger.crc"));
  }
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
  EXPECT_EQ(g_filterSlot.m_hMailServer, nullptr);
  EXPECT_EQ(g_defaultSlot.m_hMailServer, nullptr);
  EXPECT_EQ(CountOpenHandles(), handlesBefore);
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(), blocksBefore);
}

}  // namespace
