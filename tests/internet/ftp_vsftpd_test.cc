// The FTP side of the internet layer against vsftpd, a second real server: it has no MLSD, so
// listings come from its Unix LIST lines.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "platform/internet/internet.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;
using testing_support::VsftpdServer;
using testing_support::WriteFile;

struct Listed {
  std::uint64_t size;
  bool directory;
};

class VsftpdTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!VsftpdServer::Available()) GTEST_SKIP() << "vsftpd is not installed";
    SetInternetTimeouts({10000, 20000});
    WriteFile(root_ / "updates/recent.dat", std::string(1234, 'r'));
    WriteFile(root_ / "updates/name  with   spaces.txt", "spaces");
    WriteFile(root_ / "updates/old.dat", std::string(77, 'o'));
    testing_support::MakeDirectories(root_ / "updates/sub dir");
    // A file older than six months is listed with its year instead of its time.
    const std::time_t old = std::time(nullptr) - 3 * 365 * 24 * 3600;
    const timespec times[2] = {{old, 0}, {old, 0}};
    utimensat(AT_FDCWD, (root_ / "updates/old.dat").c_str(), times, 0);
    EXPECT_EQ(symlink("recent.dat", (root_ / "updates/link.dat").c_str()), 0);
    server_ = std::make_unique<VsftpdServer>(root_.path());
  }
  void TearDown() override { SetInternetTimeouts({}); }

  TempDir root_;
  std::unique_ptr<VsftpdServer> server_;
  CInternetSession session_{"test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_F(VsftpdTest, UnixListingFeedsTheFinderAndFilesDownload) {
  for (BOOL passive : {TRUE, FALSE}) {
    std::unique_ptr<CFtpConnection> connection(
        session_.GetFtpConnection("127.0.0.1", "", "", server_->port(), passive));
    ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
    std::map<std::string, Listed> listed;
    CFtpFileFind finder(connection.get());
    ASSERT_TRUE(finder.FindFile());
    BOOL more = FALSE;
    do {
      more = finder.FindNextFile();
      listed[finder.GetFileName()] = {finder.GetLength(), finder.IsDirectory()};
    } while (more);

    ASSERT_EQ(listed.size(), 5u) << "passive " << passive;
    EXPECT_EQ(listed["recent.dat"].size, 1234u);
    EXPECT_EQ(listed["old.dat"].size, 77u);
    EXPECT_EQ(listed["name  with   spaces.txt"].size, 6u);
    EXPECT_TRUE(listed["sub dir"].directory);
    EXPECT_FALSE(listed["link.dat"].directory);
    EXPECT_EQ(listed["link.dat"].size, 10u);  // the link's own size: its target's name

    std::unique_ptr<CInternetFile> file(connection->OpenFile("name  with   spaces.txt"));
    char buffer[16];
    EXPECT_EQ(file->Read(buffer, 6), 6u);
    EXPECT_EQ(std::string(buffer, 6), "spaces");
    DWORD extra = 1;
    EXPECT_TRUE(InternetReadFile(file.get(), buffer, sizeof(buffer), &extra));
    EXPECT_EQ(extra, 0u);
  }
  // MLSD is unknown to vsftpd: each connection tried it once and listed with LIST.
  EXPECT_EQ(server_->CountCommands("MLSD"), 2u);
  EXPECT_EQ(server_->CountCommands("LIST"), 2u);
  EXPECT_EQ(server_->CountCommands("USER"), 2u);
}

}  // namespace
