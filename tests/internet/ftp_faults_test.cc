// The FTP side of the internet layer against servers that misbehave on purpose (the scripted
// server): wrong sizes, broken and stalled transfers, refusals, garbage, endless data; and the
// exact commands a run sends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/internet/internet.h"
#include "support/scripted_ftp_server.h"

namespace {

using testing::ElementsAre;
using testing_support::ScriptedFile;
using testing_support::ScriptedFtpServer;
using testing_support::ScriptedRule;

// Runs `operation` and returns the code of the CInternetException it throws (0 when none).
template <typename Operation>
DWORD ThrownCode(Operation operation) {
  try {
    operation();
  } catch (const CInternetException& exception) {
    return exception.m_dwError;
  }
  return ERROR_SUCCESS;
}

std::string LastResponse(DWORD* code) {
  char buffer[4096];
  DWORD length = sizeof(buffer);
  if (!InternetGetLastResponseInfo(code, buffer, &length)) return "";
  return std::string(buffer, length);
}

long PeakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class FtpFaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetInternetTimeouts({10000, 20000});
    server_.AddFile("/updates/trigger.txt", "5 a.bin\r\n");
    server_.AddFile("/updates/a.bin", std::string(5000, 'a'));
  }
  void TearDown() override { SetInternetTimeouts({}); }

  std::unique_ptr<CFtpConnection> Connect(BOOL passive = TRUE) {
    std::unique_ptr<CFtpConnection> connection(
        session_.GetFtpConnection("127.0.0.1", "updater", "pw", server_.port(), passive));
    EXPECT_TRUE(connection->SetCurrentDirectory("updates"));
    return connection;
  }

  DWORD LoginError(std::uint16_t port, const char* host = "127.0.0.1") {
    return ThrownCode([&] { delete session_.GetFtpConnection(host, "u", "p", port, TRUE); });
  }

  // Shortens the stall limit for a test of a server that stops answering.
  static void ShortStallLimit() { SetInternetTimeouts({10000, 1000}); }

  ScriptedFtpServer server_;
  CInternetSession session_{"test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_F(FtpFaultsTest, RunSendsEachCommandOnceOnOneLogin) {
  auto connection = Connect();
  {
    CFtpFileFind finder(connection.get());
    ASSERT_TRUE(finder.FindFile());
  }
  for (const char* name : {"trigger.txt", "a.bin"}) {
    std::unique_ptr<CInternetFile> file(connection->OpenFile(name));
    char buffer[8192];
    while (file->Read(buffer, sizeof(buffer)) != 0) {
    }
  }
  connection.reset();
  // libcurl returns to the login directory ("CWD /", from PWD) before changing on a reused
  // control connection, and sends TYPE only when it changes.
  EXPECT_THAT(
      server_.Transcript(),
      ElementsAre("USER updater", "PASS ****", "PWD", "CWD /", "CWD updates", "EPSV", "TYPE A",
                  "MLSD", "EPSV", "TYPE I", "RETR trigger.txt", "EPSV", "RETR a.bin", "QUIT"));
  EXPECT_EQ(server_.Connections(), 1u);
}

TEST_F(FtpFaultsTest, FilesShorterOrLongerThanListedArriveAsTheyAre) {
  ScriptedFile shorter;
  shorter.content = "12345";
  shorter.listedSize = 10;
  server_.AddFile("/updates/shorter.bin", shorter);
  ScriptedFile longer;
  longer.content = "1234567890";
  longer.listedSize = 5;
  server_.AddFile("/updates/longer.bin", longer);
  auto connection = Connect();

  CFtpFileFind finder(connection.get());
  ASSERT_TRUE(finder.FindFile("*er.bin"));
  EXPECT_TRUE(finder.FindNextFile());
  EXPECT_EQ(finder.GetFileName(), "longer.bin");
  EXPECT_EQ(finder.GetLength(), 5u);
  EXPECT_FALSE(finder.FindNextFile());
  EXPECT_EQ(finder.GetFileName(), "shorter.bin");
  EXPECT_EQ(finder.GetLength(), 10u);

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
  for (ScriptedFile::Fault fault :
       {ScriptedFile::Fault::kBreakAfter, ScriptedFile::Fault::kDropAfter}) {
    ScriptedFile broken;
    broken.content = std::string(100000, 'b');
    broken.fault = fault;
    broken.faultOffset = 30000;
    server_.AddFile("/updates/broken.bin", broken);
    auto connection = Connect();
    std::unique_ptr<CInternetFile> file(connection->OpenFile("broken.bin"));
    std::string content(100000, '\0');
    EXPECT_EQ(ThrownCode([&] { file->Read(content.data(), 100000); }),
              ERROR_INTERNET_CONNECTION_ABORTED);
    file.reset();
    // A retry of the transport opens the next transfer on the same connection object.
    file.reset(connection->OpenFile("a.bin"));
    EXPECT_EQ(file->Read(content.data(), 5000), 5000u);
  }
}

TEST_F(FtpFaultsTest, RefusalsKeepTheRefusingReply) {
  server_.Reply("RETR", "550 Permission denied.\r\n");
  server_.Reply("MLSD", "550 No listing for you.\r\n");
  auto connection = Connect();

  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }),
            ERROR_INTERNET_EXTENDED_ERROR);
  DWORD code = 0;
  EXPECT_EQ(LastResponse(&code), "550 Permission denied.\r\n");
  EXPECT_EQ(code, 550u);

  CFtpFileFind finder(connection.get());
  EXPECT_FALSE(finder.FindFile());
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
  EXPECT_EQ(LastResponse(&code), "550 No listing for you.\r\n");
  // A refusal is not an unknown command: no fall back to LIST.
  EXPECT_EQ(server_.CountCommands("LIST"), 0u);
}

TEST_F(FtpFaultsTest, DataConnectionThatCannotBeMadeFailsAtOpen) {
  const std::uint16_t refusing = ScriptedFtpServer::RefusingPort();
  server_.Reply("EPSV",
                "229 Entering Extended Passive Mode (|||" + std::to_string(refusing) + "|)\r\n");
  server_.Reply("PASV", "227 Entering Passive Mode (127,0,0,1," + std::to_string(refusing >> 8) +
                            "," + std::to_string(refusing & 0xFF) + ")\r\n");
  auto connection = Connect();
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }),
            ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(server_.CountCommands("RETR"), 0u);
}

TEST_F(FtpFaultsTest, LoginRefusalsNameTheStepThatFailed) {
  {
    ScriptedFtpServer server;
    server.Reply("USER", "530 This account is closed.\r\n");
    EXPECT_EQ(LoginError(server.port()), ERROR_INTERNET_INCORRECT_USER_NAME);
    EXPECT_THAT(server.Transcript(), ElementsAre("USER u"));
  }
  {
    ScriptedFtpServer server;
    server.AddUser("u", "right");
    EXPECT_EQ(LoginError(server.port()), ERROR_INTERNET_INCORRECT_PASSWORD);
  }
  {
    ScriptedFtpServer server;
    server.SetGreeting("421-Too many users.\r\n421 Try again later.\r\n");
    EXPECT_EQ(LoginError(server.port()), ERROR_INTERNET_EXTENDED_ERROR);
    DWORD code = 0;
    EXPECT_EQ(LastResponse(&code), "421-Too many users.\r\n421 Try again later.\r\n");
    EXPECT_EQ(code, 421u);
  }
}

TEST_F(FtpFaultsTest, StalledServerFailsWithTimeOut) {
  ShortStallLimit();
  {
    ScriptedFtpServer silent;
    silent.StallGreeting();
    EXPECT_EQ(LoginError(silent.port()), ERROR_INTERNET_TIMEOUT);
  }
  ScriptedFile stalling;
  stalling.content = std::string(100000, 's');
  stalling.fault = ScriptedFile::Fault::kStallAfter;
  stalling.faultOffset = 20000;
  server_.AddFile("/updates/stalling.bin", stalling);
  ScriptedRule stallRetr;
  stallRetr.verb = "RETR";
  stallRetr.argument = "a.bin";
  stallRetr.action = ScriptedRule::Action::kStall;
  server_.AddRule(stallRetr);
  auto connection = Connect();

  std::unique_ptr<CInternetFile> file(connection->OpenFile("stalling.bin"));
  std::string content(100000, '\0');
  EXPECT_EQ(ThrownCode([&] { file->Read(content.data(), 100000); }), ERROR_INTERNET_TIMEOUT);
  file.reset();
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }), ERROR_INTERNET_TIMEOUT);

  server_.Stall("CWD");
  EXPECT_FALSE(connection->SetCurrentDirectory("elsewhere"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
}

TEST_F(FtpFaultsTest, EndlessDataIsReadOnlyAsFarAsAsked) {
  ScriptedFile endless;
  endless.fault = ScriptedFile::Fault::kEndless;
  server_.AddFile("/updates/endless.bin", endless);
  server_.SetEndlessListing("/updates");
  auto connection = Connect();

  const long before = PeakResidentKilobytes();
  CFtpFileFind finder(connection.get());
  EXPECT_FALSE(finder.FindFile());
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  // The listing stops at its cap (64 MiB of text), never buffered whole.
  EXPECT_LT(PeakResidentKilobytes() - before, 512 * 1024);

  std::unique_ptr<CInternetFile> file(connection->OpenFile("endless.bin"));
  std::string content(1 << 20, '\0');
  EXPECT_EQ(file->Read(content.data(), 1 << 20), 1u << 20);
  EXPECT_EQ(content, std::string(1 << 20, 'x'));
  char scratch[1000];
  DWORD extra = 0;
  EXPECT_TRUE(InternetReadFile(file.get(), scratch, sizeof(scratch), &extra));
  EXPECT_GT(extra, 0u);
  file.reset();
  // Ending the endless transfer cost the control connection; the next operation logs in again.
  file.reset(connection->OpenFile("a.bin"));
  EXPECT_EQ(file->Read(content.data(), 5000), 5000u);
}

TEST_F(FtpFaultsTest, GarbageRepliesFailWithInvalidResponse) {
  {
    ScriptedFtpServer babbling;
    babbling.SetGreeting("HELLO THERE\r\n");
    EXPECT_EQ(LoginError(babbling.port()), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  }
  {
    ScriptedFtpServer endless;
    std::string lines = "220-Welcome\r\n";
    for (int i = 0; i < 2000; ++i) lines += "220-and more\r\n";
    endless.SetGreeting(lines);
    EXPECT_EQ(LoginError(endless.port()), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  }
  ScriptedRule garbage;
  garbage.verb = "CWD";
  garbage.reply = "what?\r\n";
  garbage.times = 1;
  server_.AddRule(garbage);
  server_.Reply("EPSV", "229 Entering Extended Passive Mode (|||0|)\r\n");
  server_.Reply("PASV", "227 Nonsense\r\n");
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "u", "p", server_.port(), TRUE));
  EXPECT_FALSE(connection->SetCurrentDirectory("updates"));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }), ERROR_FTP_NO_PASSIVE_MODE);
}

TEST_F(FtpFaultsTest, UnreachableServersFailWithTheirCodes) {
  EXPECT_EQ(LoginError(ScriptedFtpServer::RefusingPort()), ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(LoginError(21, "no-such-host.invalid"), ERROR_INTERNET_NAME_NOT_RESOLVED);
  EXPECT_EQ(LoginError(21, "bad host"), ERROR_INTERNET_INVALID_URL);
}

TEST_F(FtpFaultsTest, OneTransferAtATimeAndNothingAfterClose) {
  ScriptedFile endless;
  endless.fault = ScriptedFile::Fault::kEndless;
  server_.AddFile("/updates/endless.bin", endless);
  auto connection = Connect();
  std::unique_ptr<CInternetFile> file(connection->OpenFile("endless.bin"));
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("trigger.txt"); }),
            ERROR_FTP_TRANSFER_IN_PROGRESS);
  EXPECT_FALSE(connection->SetCurrentDirectory("/"));
  EXPECT_EQ(GetLastError(), ERROR_FTP_TRANSFER_IN_PROGRESS);
  file.reset();
  EXPECT_TRUE(connection->SetCurrentDirectory("/updates"));

  connection->Close();
  EXPECT_FALSE(connection->SetCurrentDirectory("/"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_EQ(ThrownCode([&] { delete connection->OpenFile("a.bin"); }),
            ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  EXPECT_EQ(server_.CountCommands("QUIT"), 1u);
}

TEST_F(FtpFaultsTest, NamesAndDirectoriesGoToTheServerByteForByte) {
  const std::string name = "caf\xE9 #1%20+;x.bin";
  server_.AddFile("/up dates/" + name, "bytes");
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "u", "p", server_.port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("/up dates"));
  {
    CFtpFileFind finder(connection.get());
    ASSERT_TRUE(finder.FindFile());
    finder.FindNextFile();
    EXPECT_EQ(finder.GetFileName(), name);
  }
  std::unique_ptr<CInternetFile> file(connection->OpenFile(name.c_str()));
  char buffer[8];
  EXPECT_EQ(file->Read(buffer, sizeof(buffer)), 5u);
  file.reset();
  EXPECT_FALSE(connection->SetCurrentDirectory("a\r\nDELE x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  const std::vector<std::string> transcript = server_.Transcript();
  EXPECT_THAT(transcript, testing::Contains("CWD /up dates"));
  EXPECT_THAT(transcript, testing::Contains("RETR " + name));
  EXPECT_EQ(server_.CountCommands("DELE"), 0u);
}

TEST_F(FtpFaultsTest, ConcurrentSessionsKeepTheirOwnLastResponse) {
  server_.AddRule({"CWD", "left", ScriptedRule::Action::kReply, "550 Left is missing.\r\n"});
  server_.AddRule({"CWD", "right", ScriptedRule::Action::kReply, "551 Right is missing.\r\n"});
  auto work = [this](const char* directory, const std::string& expected, int* matches) {
    CInternetSession session("test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    std::unique_ptr<CFtpConnection> connection(
        session.GetFtpConnection("127.0.0.1", "u", "p", server_.port(), TRUE));
    for (int i = 0; i < 20; ++i) {
      DWORD code = 0;
      if (!connection->SetCurrentDirectory(directory) && LastResponse(&code) == expected) {
        ++*matches;
      }
    }
  };
  int left = 0;
  int right = 0;
  std::thread other(work, "left", "550 Left is missing.\r\n", &left);
  work("right", "551 Right is missing.\r\n", &right);
  other.join();
  EXPECT_EQ(left, 20);
  EXPECT_EQ(right, 20);
}

}  // namespace
