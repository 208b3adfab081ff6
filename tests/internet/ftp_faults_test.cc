// The FTP side of the internet layer against servers that misbehave on purpose (the scripted
// server): wrong sizes, broken and stalled transfers, refusals, hostile names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "internet/thrown_code.h"
#include "platform/internet/internet.h"
#include "support/scripted_ftp_server.h"

namespace {

using testing_support::ScriptedFile;
using testing_support::ScriptedFtpServer;
using enum ScriptedFile::Fault;

class FtpFaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetInternetTimeouts({10000, 20000});
    server_.AddFile("/updates/a.bin", std::string(5000, 'a'));
  }
  void TearDown() override { SetInternetTimeouts({}); }

  std::unique_ptr<CFtpConnection> Connect() {
    std::unique_ptr<CFtpConnection> connection(
        session_.GetFtpConnection("127.0.0.1", "updater", "pw", server_.port(), TRUE));
    EXPECT_TRUE(connection->SetCurrentDirectory("updates"));
    return connection;
  }
  // Opens `name` and reads up to `size` bytes in one Read; the code it throws.
  DWORD ReadError(CFtpConnection& connection, const char* name, std::size_t size) {
    std::unique_ptr<CInternetFile> file(connection.OpenFile(name));
    std::string content(size, '\0');
    return ThrownCode([&] { file->Read(content.data(), static_cast<UINT>(size)); });
  }

  ScriptedFtpServer server_;
  CInternetSession session_{"test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_F(FtpFaultsTest, FilesShorterOrLongerThanListedArriveAsTheyAre) {
  server_.AddFile("/updates/shorter.bin", ScriptedFile{"12345", 10});
  server_.AddFile("/updates/longer.bin", ScriptedFile{"1234567890", 5});
  auto connection = Connect();
  char buffer[10];
  DWORD extra = 0;
  std::unique_ptr<CInternetFile> file(connection->OpenFile("shorter.bin"));
  EXPECT_EQ(file->Read(buffer, 10), 5u);
  EXPECT_TRUE(InternetReadFile(file.get(), buffer, sizeof(buffer), &extra));
  EXPECT_EQ(extra, 0u);

  file.reset(connection->OpenFile("longer.bin"));
  EXPECT_EQ(file->Read(buffer, 5), 5u);
  EXPECT_TRUE(InternetReadFile(file.get(), buffer, sizeof(buffer), &extra));
  EXPECT_EQ(extra, 5u);
  EXPECT_EQ(std::string(buffer, extra), "67890");
}

TEST_F(FtpFaultsTest, BrokenTransferFailsAtReadAndTheNextOpenWorks) {
  for (ScriptedFile::Fault fault : {kBreakAfter, kDropAfter}) {
    server_.AddFile("/updates/broken.bin",
                    ScriptedFile{std::string(100000, 'b'), {}, fault, 30000});
    auto connection = Connect();
    EXPECT_EQ(ReadError(*connection, "broken.bin", 100000), ERROR_INTERNET_CONNECTION_ABORTED);
    // A retry of the transport opens the next transfer on the same connection object.
    EXPECT_EQ(ReadError(*connection, "a.bin", 5000), ERROR_SUCCESS);
  }
}

// A login that stalls is the FTP transport's test (tests/ftp/).
TEST_F(FtpFaultsTest, StalledServerFailsWithTimeOut) {
  SetInternetTimeouts({10000, 1000});
  server_.AddFile("/updates/stalling.bin",
                  ScriptedFile{std::string(100000, 's'), {}, kStallAfter, 20000});
  auto connection = Connect();
  EXPECT_EQ(ReadError(*connection, "stalling.bin", 100000), ERROR_INTERNET_TIMEOUT);
  server_.Stall("CWD");
  EXPECT_FALSE(connection->SetCurrentDirectory("elsewhere"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
}

TEST_F(FtpFaultsTest, RefusalsKeepTheRefusingReplyAndLineBreaksInNamesGoNowhere) {
  server_.Reply("RETR", "550 Permission denied.\r\n");
  auto connection = Connect();
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }),
            ERROR_INTERNET_EXTENDED_ERROR);
  DWORD code = 0;
  char reply[100];
  DWORD length = sizeof(reply);
  ASSERT_TRUE(InternetGetLastResponseInfo(&code, reply, &length));
  EXPECT_EQ(std::string(reply, length), "550 Permission denied.\r\n");
  EXPECT_EQ(code, 550u);

  // A name that would smuggle in a second command never reaches the server.
  EXPECT_FALSE(connection->SetCurrentDirectory("a\r\nDELE x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(server_.CountCommands("DELE"), 0u);
}

}  // namespace
