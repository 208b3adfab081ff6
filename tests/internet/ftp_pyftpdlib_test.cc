// The FTP side of the internet layer against a real server (pyftpdlib): login, directory
// changes, both listing commands, downloads in passive and active mode, and explicit TLS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/internet/internet.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/tls_certs.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;
using testing_support::PyFtpServer;
using testing_support::PyFtpServerOptions;
using testing_support::TempDir;
using testing_support::WriteFile;

struct Listed {
  std::string name;
  std::uint64_t size;
  bool directory;
  bool operator==(const Listed&) const = default;
  friend void PrintTo(const Listed& entry, std::ostream* out) {
    *out << '"' << entry.name << "\" " << entry.size << (entry.directory ? " dir" : "");
  }
};

std::vector<Listed> ListAll(CFtpConnection* connection) {
  std::vector<Listed> listed;
  CFtpFileFind finder(connection);
  if (!finder.FindFile()) return listed;
  BOOL more = FALSE;
  do {
    more = finder.FindNextFile();
    // The size a server gives a directory depends on its file system: not compared.
    listed.push_back({finder.GetFileName(), finder.IsDirectory() ? 0 : finder.GetLength(),
                      finder.IsDirectory()});
  } while (more);
  std::sort(listed.begin(), listed.end(),
            [](const Listed& a, const Listed& b) { return a.name < b.name; });
  return listed;
}

// Reads a whole file as the transport does: one Read of the expected size, then reading on.
std::string ReadWhole(CInternetFile* file, std::size_t expected, DWORD* extra) {
  std::string content(expected, '\0');
  const UINT got = file->Read(content.data(), static_cast<UINT>(expected));
  content.resize(got);
  char scratch[1000];
  *extra = 0;
  EXPECT_TRUE(InternetReadFile(file, scratch, sizeof(scratch), extra));
  return content;
}

std::string LastResponse(DWORD* code) {
  char buffer[2048];
  DWORD length = sizeof(buffer);
  if (!InternetGetLastResponseInfo(code, buffer, &length)) return "";
  return std::string(buffer, length);
}

class PyFtpdlibTest : public testing::Test {
 protected:
  void SetUp() override {
    SetInternetTimeouts({10000, 20000});
    WriteFile(root_ / "updates/trigger.txt", "1a2b3c4d definitions.dat\r\n");
    WriteFile(root_ / "updates/definitions.dat", std::string(100000, 'd'));
    WriteFile(root_ / "updates/name with spaces.bin", "spaced");
    WriteFile(root_ / "updates/empty.bin", "");
    testing_support::MakeDirectories(root_ / "updates/archive");
  }
  void TearDown() override {
    SetInternetTimeouts({});
    SetInternetCaFile(nullptr);
  }

  std::unique_ptr<PyFtpServer> Start(bool mlsd = true) {
    PyFtpServerOptions options;
    options.root = root_.path();
    options.users = {{"updater", "s3cret"}};
    options.anonymous = true;
    options.mlsd = mlsd;
    return std::make_unique<PyFtpServer>(options);
  }

  TempDir root_;
  CInternetSession session_{"test", 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0};
};

TEST_F(PyFtpdlibTest, RunOfOperationsLogsInOnceAndReadsFilesByteForByte) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  EXPECT_EQ(connection->GetCurrentDirectory(), "updates");
  EXPECT_THAT(ListAll(connection.get()),
              ElementsAre(Listed{"archive", 0, true}, Listed{"definitions.dat", 100000, false},
                          Listed{"empty.bin", 0, false}, Listed{"name with spaces.bin", 6, false},
                          Listed{"trigger.txt", 26, false}));

  for (int round = 0; round < 2; ++round) {
    for (const std::string name : {"trigger.txt", "definitions.dat", "empty.bin"}) {
      const std::string expected = testing_support::ReadFile(root_ / ("updates/" + name));
      std::unique_ptr<CInternetFile> file(connection->OpenFile(name.c_str()));
      DWORD extra = 1;
      EXPECT_EQ(ReadWhole(file.get(), expected.size(), &extra), expected) << name;
      EXPECT_EQ(extra, 0u) << name;
      file->Close();
    }
  }
  connection->Close();

  const std::vector<std::string> transcript = server->Transcript();
  EXPECT_EQ(server->Connections(), 1u);
  EXPECT_EQ(server->CountCommands("USER"), 1u);
  EXPECT_EQ(server->CountCommands("PASS"), 1u);
  EXPECT_EQ(server->CountCommands("MLSD"), 1u);
  EXPECT_EQ(server->CountCommands("RETR"), 6u);
  EXPECT_THAT(transcript, testing::Contains("CWD updates"));
  EXPECT_THAT(transcript, testing::Contains("RETR definitions.dat"));
  EXPECT_THAT(transcript, testing::Contains("PASS ****"));
  EXPECT_EQ(transcript.back(), "QUIT");
}

TEST_F(PyFtpdlibTest, RefusedPasswordThrows12014AndKeepsThe530Reply) {
  auto server = Start();
  try {
    delete session_.GetFtpConnection("127.0.0.1", "updater", "wrong", server->port(), TRUE);
    FAIL() << "the login succeeded";
  } catch (const CInternetException& exception) {
    EXPECT_EQ(exception.m_dwError, ERROR_INTERNET_INCORRECT_PASSWORD);
  }
  DWORD code = 0;
  EXPECT_THAT(LastResponse(&code), StartsWith("530 "));
  EXPECT_EQ(code, 530u);
  EXPECT_THAT(server->Transcript(), ElementsAre("USER updater", "PASS ****"));
}

TEST_F(PyFtpdlibTest, EmptyUserLogsInAnonymously) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "", "", server->port(), TRUE));
  EXPECT_EQ(server->Transcript().front(), "USER anonymous");
}

TEST_F(PyFtpdlibTest, MissingDirectoryFails12003WithThe550ReplyAndKeepsTheConnection) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE));
  EXPECT_FALSE(connection->SetCurrentDirectory("no such dir"));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
  DWORD code = 0;
  EXPECT_THAT(LastResponse(&code), StartsWith("550 "));
  EXPECT_EQ(code, 550u);
  EXPECT_EQ(connection->GetCurrentDirectory(), "");
  EXPECT_THAT(server->Transcript(), testing::Contains("CWD no such dir"));

  // The failure left the control connection usable: no second login.
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  std::unique_ptr<CInternetFile> file(connection->OpenFile("name with spaces.bin"));
  DWORD extra = 1;
  EXPECT_EQ(ReadWhole(file.get(), 6, &extra), "spaced");
  EXPECT_EQ(server->CountCommands("USER"), 1u);
}

TEST_F(PyFtpdlibTest, ListingFallsBackToListOnceWhenMlsdIsUnknown) {
  auto server = Start(/*mlsd=*/false);
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  const std::vector<Listed> expected = {{"archive", 0, true},
                                        {"definitions.dat", 100000, false},
                                        {"empty.bin", 0, false},
                                        {"name with spaces.bin", 6, false},
                                        {"trigger.txt", 26, false}};
  EXPECT_EQ(ListAll(connection.get()), expected);
  EXPECT_EQ(ListAll(connection.get()), expected);
  // MLSD is tried once on the connection; the second listing goes straight to LIST.
  EXPECT_EQ(server->CountCommands("MLSD"), 1u);
  EXPECT_EQ(server->CountCommands("LIST"), 2u);
}

TEST_F(PyFtpdlibTest, ActiveModeDownloadsAndLists) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), FALSE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  EXPECT_EQ(ListAll(connection.get()).size(), 5u);
  std::unique_ptr<CInternetFile> file(connection->OpenFile("definitions.dat"));
  DWORD extra = 1;
  EXPECT_EQ(ReadWhole(file.get(), 100000, &extra), std::string(100000, 'd'));
  EXPECT_EQ(extra, 0u);
  EXPECT_EQ(server->CountCommands("EPSV") + server->CountCommands("PASV"), 0u);
  EXPECT_GE(server->CountCommands("EPRT") + server->CountCommands("PORT"), 2u);
}

TEST_F(PyFtpdlibTest, ReadingOnAfterTheEndReturnsNothingAgainAndAgain) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  std::unique_ptr<CInternetFile> file(connection->OpenFile("trigger.txt"));
  // Asking for more than the file holds returns what there is.
  char buffer[100];
  EXPECT_EQ(file->Read(buffer, sizeof(buffer)), 26u);
  EXPECT_EQ(file->Read(buffer, sizeof(buffer)), 0u);
  DWORD read = 7;
  EXPECT_TRUE(InternetReadFile(file.get(), buffer, sizeof(buffer), &read));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(InternetReadFile(file.get(), buffer, sizeof(buffer), &read));
  EXPECT_EQ(read, 0u);
}

TEST_F(PyFtpdlibTest, MissingFileFailsAtOpenWith12003AndThe550Reply) {
  auto server = Start();
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  try {
    delete connection->OpenFile("missing.dat");
    FAIL() << "the file opened";
  } catch (const CInternetException& exception) {
    EXPECT_EQ(exception.m_dwError, ERROR_INTERNET_EXTENDED_ERROR);
  }
  DWORD code = 0;
  EXPECT_THAT(LastResponse(&code), StartsWith("550 "));
}

class PyFtpdlibTlsTest : public PyFtpdlibTest {
 protected:
  static void SetUpTestSuite() {
    certificateDir_ = new TempDir;
    certificates_ = new testing_support::TestCertificates(
        testing_support::MakeTestCertificates(certificateDir_->path()));
  }
  static void TearDownTestSuite() {
    delete certificates_;
    delete certificateDir_;
  }

  std::unique_ptr<PyFtpServer> StartTls(const std::string& cert, const std::string& key) {
    PyFtpServerOptions options;
    options.root = root_.path();
    options.users = {{"updater", "s3cret"}};
    options.tlsCert = cert;
    options.tlsKey = key;
    return std::make_unique<PyFtpServer>(options);
  }

  DWORD LoginError(const PyFtpServer& server, const char* host = "127.0.0.1") {
    try {
      delete session_.GetFtpConnection(host, "updater", "s3cret", server.port(), TRUE, true);
    } catch (const CInternetException& exception) {
      return exception.m_dwError;
    }
    return ERROR_SUCCESS;
  }

  static TempDir* certificateDir_;
  static testing_support::TestCertificates* certificates_;
};

TempDir* PyFtpdlibTlsTest::certificateDir_ = nullptr;
testing_support::TestCertificates* PyFtpdlibTlsTest::certificates_ = nullptr;

TEST_F(PyFtpdlibTlsTest, TrustedServerWorksOnEncryptedConnections) {
  auto server = StartTls(certificates_->serverCert, certificates_->serverKey);
  SetInternetCaFile(certificates_->caCert.c_str());
  std::unique_ptr<CFtpConnection> connection(
      session_.GetFtpConnection("127.0.0.1", "updater", "s3cret", server->port(), TRUE, true));
  ASSERT_TRUE(connection->SetCurrentDirectory("updates"));
  EXPECT_EQ(ListAll(connection.get()).size(), 5u);
  std::unique_ptr<CInternetFile> file(connection->OpenFile("definitions.dat"));
  DWORD extra = 1;
  EXPECT_EQ(ReadWhole(file.get(), 100000, &extra), std::string(100000, 'd'));
  EXPECT_EQ(extra, 0u);
  file.reset();
  connection.reset();
  const std::vector<std::string> transcript = server->Transcript();
  ASSERT_FALSE(transcript.empty());
  EXPECT_EQ(transcript.front(), "AUTH TLS");
  EXPECT_THAT(transcript, testing::Contains("PROT P"));
  EXPECT_EQ(server->CountCommands("USER"), 1u);
}

TEST_F(PyFtpdlibTlsTest, CertificateChecksFailWithTheirCodes) {
  {
    auto server = StartTls(certificates_->serverCert, certificates_->serverKey);
    SetInternetCaFile(certificates_->unrelatedCaCert.c_str());
    EXPECT_EQ(LoginError(*server), ERROR_INTERNET_INVALID_CA);
    EXPECT_EQ(server->CountCommands("USER"), 0u);  // no password over an untrusted channel
  }
  {
    auto server = StartTls(certificates_->otherNameCert, certificates_->otherNameKey);
    SetInternetCaFile(certificates_->caCert.c_str());
    EXPECT_EQ(LoginError(*server), ERROR_INTERNET_SEC_CERT_CN_INVALID);
    EXPECT_EQ(server->CountCommands("USER"), 0u);
  }
}

}  // namespace
