// The FTP side of the internet layer against vsftpd, a second real server: it has no MLSD, so
// the listing comes from its Unix LIST lines, with names that hold blanks, a
// directory, a link and a file old enough to show its year.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/internet/internet.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

using testing_support::WriteFile;

TEST(VsftpdTest, UnixListingFeedsTheFinder) {
  if (!testing_support::VsftpdServer::Available()) GTEST_SKIP() << "vsftpd is not installed";
  testing_support::TempDir root;
  WriteFile(root / "updates/recent.dat", std::string(1234, 'r'));
  WriteFile(root / "updates/name  with   spaces.txt", "spaces");
  WriteFile(root / "updates/old.dat", std::string(77, 'o'));
  testing_support::MakeDirectories(root / "updates/sub dir");
  const std::time_t old = std::time(nullptr) - 3 * 365 * 24 * 3600;
  const timespec times[2] = {{old, 0}, {old, 0}};
  utimensat(AT_FDCWD, (root / "updates/old.dat").c_str(), times, 0);
  ASSERT_EQ(symlink("recent.dat", (root / "updates/link.dat").c_str()), 0);
  testing_support::VsftpdServer server(root.path());
  CInternetSession session("test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  std::unique_ptr<CFtpConnection> connection(
      session.GetFtpConnection("127.0.0.1", "", "", server.port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));

  std::vector<std::string> listed;
  {
    CFtpFileFind finder(connection.get());
    ASSERT_TRUE(finder.FindFile());
    BOOL more = FALSE;
    do {
      more = finder.FindNextFile();
      listed.push_back(finder.GetFileName() + (finder.IsDirectory() ? "/" : "") + " " +
                       std::to_string(finder.GetLength()));
    } while (more);
  }
  // A link is listed with its own size: the length of its target's name. The old file shows its
  // year instead of its time.
  EXPECT_THAT(listed, testing::UnorderedElementsAre("recent.dat 1234", "old.dat 77",
                                                    "name  with   spaces.txt 6", "link.dat 10",
                                                    testing::StartsWith("sub dir/ ")));

  connection.reset();
  // MLSD is unknown to vsftpd: tried once, then the listing came from LIST.
  EXPECT_EQ(server.CountCommands("MLSD"), 1u);
  EXPECT_EQ(server.CountCommands("LIST"), 1u);
}

}  // namespace
