// Both update slots in verified mode at once, each with its own publisher's key, against one FTP
// server: each installs its own signed set and refuses the other's key. Built into the
// ThreadSanitizer suite, this puts the verified state (settings, cached reference, libsodium and
// libcrypto) under two workers at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "filerepository/filerepository.h"
#include "integrity/signed_manifest.h"
#include "platform/internet/internet.h"
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

std::shared_ptr<const VerifiedModeSettings> SettingsFor(const MinisignKey& key) {
  auto settings = std::make_shared<VerifiedModeSettings>();
  settings->keys.push_back(integrity::ParsePublicKey(key.pubFile).value);
  return settings;
}

TEST(VerifiedSlotsTest, BothSlotsVerifyTheirOwnSetsAtOnce) {
  // The slots are the process's own: a flag raised by a test before this one is still up.
  for (UpdateSlot* slot : {&g_filterSlot, &g_defaultSlot}) slot->m_bIllegalUpdates.store(0);
  TempDir dir;
  TestConfig both[] = {{"MailFilter0", dir / "filter"}, {"AntiVirus", dir / "antivirus"}};
  const MinisignKey keys[] = {{dir, "filter"}, {dir, "antivirus"}};
  for (int i = 0; i < 2; ++i) {
    const std::string served = dir / ("served/" + both[i].processor());
    std::string trigger;
    for (const char* name : {"a.dat", "b.cfg"}) {
      const std::string content = both[i].processor() + name + std::string(100000, 'x');
      WriteFile(served + "/" + name, content);
      trigger += ChecksumLine(name, content);
    }
    WriteFile(served + "/trigger.crc", trigger);
    keys[i].SignDirectory(served, "trigger.crc");
  }
  PyFtpServer server({dir / "served", {{"updater", "s3cret-pass"}}});
  const std::string address = "ftp://127.0.0.1:" + std::to_string(server.port());
  SetInternetTimeouts({5000, 5000});
  LogCapture log;
  for (TestConfig& config : both) {
    config.SetText(&UpdateConfig::remoteDirectory, config.processor().c_str());
    config.SetText(&UpdateConfig::serverName, address.c_str());
    config.SetDword("UpdateInterval", 0);  // only requested cycles
  }

  // Each slot first trusts the other's key only, then its own; the settings change only while
  // its worker is stopped.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(ConfigureVerifiedMode(both[i].processor().c_str(),
                                        SettingsFor(keys[round == 0 ? 1 - i : i])));
    }
    for (TestConfig& config : both) {
      config.SetDword("LastUpdateTime", 0);
      config.SetDword("UpdateNow", 1);  // the first pass of the worker runs a cycle
      ASSERT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
    }
    EXPECT_FALSE(ConfigureVerifiedMode("MailFilter0", nullptr));  // its worker runs
    std::uint32_t value = 0;
    for (TestConfig& config : both) {
      EXPECT_TRUE(config.WaitForDwordOtherThan("UpdateNow", 1, &value)) << log.Dump();
      config.GetDword("LastUpdateTime", &value);
      EXPECT_EQ(value != 0, round == 1) << config.processor() << "\n" << log.Dump();
      EXPECT_EQ(FileExists(config.definitionsDir() + "/a.dat"), round == 1);
    }
    StopRepositoryUpdateThread();
  }
  const std::vector<LogEntry> entries = log.entries();
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const LogEntry& entry) {
                            return entry.texts.size() == 2 &&
                                   entry.texts[1].rfind("unknown key: ", 0) == 0;
                          }),
            2)
      << log.Dump();
  std::string reference;
  for (TestConfig& config : both) {
    EXPECT_TRUE(config.GetString("VerifiedFiles", &reference)) << log.Dump();
    EXPECT_NE(reference.find(" b.cfg\n"), std::string::npos) << reference;
    ASSERT_TRUE(ConfigureVerifiedMode(config.processor().c_str(), nullptr));
  }
  EXPECT_EQ(IllegalUpdatesDetected(), 0u) << log.Dump();
}

}  // namespace
