// Whole update cycles over HTTP through the exported entry points, against nginx: the server
// given as "http://127.0.0.1:<port>" makes the worker build the HTTP transport, and the same
// files published over FTP (pyftpdlib) install the same result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "filerepository/filerepository.h"
#include "host/utility.h"
#include "http/http_updates.h"
#include "support/ftp_servers.h"
#include "support/log_capture.h"
#include "support/log_entries.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/local_transport.h"

namespace {

using namespace testing_support;
using testing::ElementsAre;

constexpr std::uint32_t kSentinel = 0xFFFFFFFFu;

// Every file below `directory`, by relative path, with its content.
std::map<std::string, std::string> Tree(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), directory).string()] =
          ReadFile(entry.path().string());
    }
  }
  return files;
}

class HttpEndToEndTest : public ::testing::Test {
 protected:
  HttpEndToEndTest() {
    SetInternetTimeouts({5000, 5000});
    for (TestConfig* config : {&http_, &ftp_}) config->SetDword("UpdateInterval", 0);
    std::string trigger;
    for (const auto& [name, content] : std::map<std::string, std::string>{
             {"a.dat", "alpha"}, {"b.dat", std::string(200000, 'b')}, {"rules.cfg", "rules"}}) {
      WriteFile(dir_ / "served/updates/" + name, content);
      trigger += ChecksumLine(name, content);
    }
    WriteFile(dir_ / "served/updates/trigger.crc", trigger);
  }
  ~HttpEndToEndTest() override {
    StopRepositoryUpdateThread();
    SetInternetTimeouts({});
  }

  // Asks for one cycle (starting the slot's worker the first time) without waiting for it.
  void Request(TestConfig& config) {
    config.SetDword("NextUpdateTime", kSentinel);
    config.SetDword("LastUpdateTime", 0);
    config.SetDword("UpdateNow", 1);
    if (started_.insert(&config).second) {
      EXPECT_EQ(StartRepositoryUpdateThread(config.get()), 1u);
    }
  }
  // Waits for the pass asked for to end; true when its cycle succeeded.
  bool Succeeded(TestConfig& config) {
    std::uint32_t next = 0;
    EXPECT_TRUE(config.WaitForDwordOtherThan("NextUpdateTime", kSentinel, &next));
    std::uint32_t last = 0;
    return config.GetDword("LastUpdateTime", &last) && last != 0;
  }

  TempDir dir_;
  TestConfig http_{"MailFilter0", dir_ / "http-root"};
  TestConfig ftp_{"AntiVirus", dir_ / "ftp-root"};
  std::set<TestConfig*> started_;
};

TEST_F(HttpEndToEndTest, InstallsWhatFtpInstallsFromTheSameFiles) {
  if (!NginxServer::Available()) GTEST_SKIP() << "nginx is not installed";
  NginxServer nginx({dir_ / "served", "", ""});
  PyFtpServerOptions options;
  options.root = dir_ / "served";
  options.users = {{"updater", "s3cret-pass"}};
  PyFtpServer ftp(options);
  http_.SetText(&UpdateConfig::serverName, nginx.url().c_str());
  ftp_.SetText(&UpdateConfig::serverName,
               ("ftp://127.0.0.1:" + std::to_string(ftp.port())).c_str());

  LogCapture log;
  Request(http_);
  Request(ftp_);
  ASSERT_TRUE(Succeeded(http_)) << log.Dump();
  ASSERT_TRUE(Succeeded(ftp_)) << log.Dump();
  EXPECT_TRUE(log.Contains(Is(Operation(3002, {"Updating the MailFilter0 Display definition files",
                                               "Updated 3 files: a.dat, b.dat, rules.cfg"}))))
      << log.Dump();
  EXPECT_EQ(Tree(http_.definitionsDir()), Tree(ftp_.definitionsDir()));
  EXPECT_EQ(Tree(http_.backupDir()), Tree(ftp_.backupDir()));
  EXPECT_EQ(Tree(http_.definitionsDir()).size(), 4u);  // the three files and the trigger file
  std::string httpRecord;
  std::string ftpRecord;
  ASSERT_TRUE(http_.GetString("InstalledFiles", &httpRecord));
  ASSERT_TRUE(ftp_.GetString("InstalledFiles", &ftpRecord));
  EXPECT_EQ(httpRecord, ftpRecord);
  EXPECT_THAT(nginx.RequestLines(4),
              ElementsAre("GET /updates/trigger.crc HTTP/1.1", "GET /updates/a.dat HTTP/1.1",
                          "GET /updates/b.dat HTTP/1.1", "GET /updates/rules.cfg HTTP/1.1"));
  EXPECT_EQ(nginx.RequestConnections(), 1u);

  // Nothing new: the trigger file alone is asked for.
  log.Clear();
  Request(http_);
  ASSERT_TRUE(Succeeded(http_)) << log.Dump();
  EXPECT_EQ(nginx.RequestLines(5).size(), 5u);
  EXPECT_TRUE(log.Matching(IsError(3001)).empty()) << log.Dump();
  EXPECT_EQ(CMemoryDebugging::OutstandingBlocks(kHttpUpdatesTag), 0u);
}

}  // namespace
