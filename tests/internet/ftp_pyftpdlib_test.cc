// The FTP side of the internet layer against a real server (pyftpdlib), in passive and in active
// mode: one login for a run of operations (a directory change, the MLSD listing, downloads read as
// the transport reads them). The transfer driver must never wait for the end of a poll slice
// because libcurl named nothing to wait on (after EPSV it names no socket until it is driven again,
// which cost 10 ms a file, a second over a hundred files).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/internet/internet.h"
#include "platform/internet/transfer.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace {

TEST(PyFtpdlibTest, RunsLogInOnceListAndReadByteForByteWithoutBlindWaits) {
  constexpr int kFiles = 30;
  const auto name = [](int i) { return "file " + std::to_string(i) + ".dat"; };
  const auto content = [](int i) { return std::string(i * 997, static_cast<char>('a' + i)); };
  testing_support::TempDir root;
  std::map<std::string, std::uint64_t> expected = {{"archive/", 0}};
  for (int i = 0; i < kFiles; ++i) {
    testing_support::WriteFile(root / ("updates/" + name(i)), content(i));
    expected[name(i)] = content(i).size();
  }
  testing_support::MakeDirectories(root / "updates/archive");
  testing_support::PyFtpServerOptions options;
  options.root = root.path();
  options.users = {{"updater", "s3cret"}};
  CInternetSession session("test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);

  for (BOOL passive : {TRUE, FALSE}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    testing_support::PyFtpServer server(options);
    const std::uint64_t before = internet::WaitsWithoutSocket();
    std::unique_ptr<CFtpConnection> connection(
        session.GetFtpConnection("127.0.0.1", "updater", "s3cret", server.port(), passive));
    ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
    std::map<std::string, std::uint64_t> listed;
    {
      CFtpFileFind finder(connection.get());
      ASSERT_TRUE(finder.FindFile());
      BOOL more = FALSE;
      do {
        more = finder.FindNextFile();
        // The size a server gives a directory depends on its file system: not compared.
        const bool directory = finder.IsDirectory();
        listed[finder.GetFileName() + (directory ? "/" : "")] = directory ? 0 : finder.GetLength();
      } while (more);
    }
    EXPECT_EQ(listed, expected);

    // As the transport reads: one Read of the listed size, then reading on finds nothing more.
    for (int i = 0; i < kFiles; ++i) {
      std::unique_ptr<CInternetFile> file(connection->OpenFile(name(i).c_str()));
      std::string got(content(i).size(), '\0');
      EXPECT_EQ(file->Read(got.data(), static_cast<UINT>(got.size())), got.size()) << name(i);
      EXPECT_EQ(got, content(i)) << name(i);
      char extra[16];
      DWORD more = 1;
      EXPECT_TRUE(InternetReadFile(file.get(), extra, sizeof extra, &more));
      EXPECT_EQ(more, 0u) << name(i);
      file->Close();
    }
    connection->Close();
    EXPECT_EQ(internet::WaitsWithoutSocket() - before, 0u);

    const std::vector<std::string> transcript = server.Transcript();
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(server.CountCommands("USER"), 1u);
    EXPECT_THAT(transcript, testing::Contains("PASS ****"));
    EXPECT_EQ(server.CountCommands("MLSD"), 1u);
    EXPECT_THAT(transcript, testing::Contains("RETR " + name(kFiles - 1)));
    EXPECT_EQ(transcript.back(), "QUIT");
    const std::size_t passives = server.CountCommands("EPSV") + server.CountCommands("PASV");
    const std::size_t actives = server.CountCommands("EPRT") + server.CountCommands("PORT");
    EXPECT_EQ(passive ? actives : passives, 0u);
    EXPECT_GE(passive ? passives : actives, std::size_t{kFiles + 1});
  }
}

}  // namespace
