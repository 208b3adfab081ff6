// The transfer driver keeps libcurl moving: a download over a logged-in connection never waits
// for the end of a poll slice because libcurl named nothing to wait on (after EPSV it names no
// socket until it is driven again, which cost 10 ms a file, a second over a hundred files).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/internet/internet.h"
#include "platform/internet/transfer.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

using testing_support::PyFtpServer;
using testing_support::PyFtpServerOptions;
using testing_support::TempDir;

class TransferDriverTest : public testing::TestWithParam<bool> {
 protected:
  TransferDriverTest() {
    SetInternetTimeouts({10000, 20000});
    for (int i = 0; i < kFiles; ++i) {
      testing_support::WriteFile(root_ / ("updates/f" + std::to_string(i) + ".dat"),
                                 std::string(1000 + i * 997, static_cast<char>('a' + i % 26)));
    }
    PyFtpServerOptions options;
    options.root = root_.path();
    options.anonymous = true;
    server_ = std::make_unique<PyFtpServer>(options);
  }
  ~TransferDriverTest() override { SetInternetTimeouts({}); }

  static constexpr int kFiles = 30;
  TempDir root_;
  std::unique_ptr<PyFtpServer> server_;
  CInternetSession session_{"test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_P(TransferDriverTest, DownloadsOverOneConnectionNeverWaitBlind) {
  const bool passive = GetParam();
  const std::uint64_t before = internet::WaitsWithoutSocket();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "", "", server_->port(), passive ? TRUE : FALSE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  {
    CFtpFileFind finder(connection.get());
    ASSERT_TRUE(finder.FindFile());
  }
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i) + ".dat";
    const std::size_t size = 1000 + static_cast<std::size_t>(i) * 997;
    std::unique_ptr<CInternetFile> file(connection->OpenFile(name.c_str()));
    std::string content(size, '\0');
    ASSERT_EQ(file->Read(content.data(), static_cast<UINT>(size)), size) << name;
    char extra[16];
    DWORD more = 1;
    EXPECT_TRUE(InternetReadFile(file.get(), extra, sizeof extra, &more));
    EXPECT_EQ(more, 0u) << name;
    EXPECT_EQ(content, std::string(size, static_cast<char>('a' + i % 26))) << name;
    file->Close();
  }
  connection->Close();
  EXPECT_EQ(internet::WaitsWithoutSocket() - before, 0u);
  EXPECT_EQ(server_->Connections(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PassiveAndActive, TransferDriverTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Passive" : "Active";
                         });

}  // namespace
