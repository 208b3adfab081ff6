// Reply assembly, the failure-to-code table, and the small public helpers of the layer: server
// addresses, error texts, the last-response buffer contract.
#include "platform/internet/ftp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/internet/ftp_control.h"
#include "platform/internet/internet.h"
#include "platform/internet/internet_settings.h"

namespace internet {
namespace {

using Status = FtpReplyAssembler::Status;

TEST(FtpReplyTest, SingleAndMultiLineReplies) {
  FtpReplyAssembler replies;
  EXPECT_EQ(replies.AddLine("220 Ready.\r\n"), Status::kComplete);
  EXPECT_EQ(replies.reply().code, 220);
  EXPECT_EQ(replies.reply().text, "220 Ready.\r\n");

  EXPECT_EQ(replies.AddLine("230"), Status::kComplete);  // a bare code, bare LF made CR LF
  EXPECT_EQ(replies.reply().text, "230\r\n");

  // Inner lines may look like replies; only "ddd " with the opening code ends it.
  const std::vector<std::string> lines = {"211-Features:\n", " MLSD\r\n", "211-still going\r\n",
                                          "212 another code\r\n", "211 End\r\n"};
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(replies.AddLine(lines[i]), Status::kIncomplete) << lines[i];
  }
  EXPECT_EQ(replies.AddLine(lines.back()), Status::kComplete);
  EXPECT_EQ(replies.reply().code, 211);
  EXPECT_EQ(replies.reply().text,
            "211-Features:\r\n MLSD\r\n211-still going\r\n212 another code\r\n211 End\r\n");
  // The previous complete reply stays readable while the next one builds.
  EXPECT_EQ(replies.AddLine("150-Opening"), Status::kIncomplete);
  EXPECT_EQ(replies.reply().code, 211);
}

TEST(FtpReplyTest, MalformedLinesAndEndlessReplies) {
  FtpReplyAssembler replies;
  for (const char* line : {"HELLO\r\n", "22 short\r\n", "2200 four digits\r\n", "600 range\r\n",
                           "099 range\r\n", "\r\n", "220x\r\n"}) {
    EXPECT_EQ(replies.AddLine(line), Status::kMalformed) << line;
  }
  EXPECT_EQ(replies.AddLine("220 ok"), Status::kComplete);  // starts afresh after garbage

  EXPECT_EQ(replies.AddLine("220-start"), Status::kIncomplete);
  Status status = Status::kIncomplete;
  std::size_t lines = 1;
  while (status == Status::kIncomplete && lines < 5000) {
    status = replies.AddLine("220-more " + std::string(100, 'm'));
    ++lines;
  }
  EXPECT_EQ(status, Status::kMalformed);
  EXPECT_EQ(lines, FtpReplyAssembler::kMaxReplyLines + 1);
}

TEST(FtpReplyTest, LongRepliesAreCutButStillEndInCrLf) {
  FtpReplyAssembler replies;
  EXPECT_EQ(replies.AddLine("250-" + std::string(20000, 'a')), Status::kIncomplete);
  EXPECT_EQ(replies.AddLine("250 end"), Status::kComplete);
  EXPECT_EQ(replies.reply().text.size(), FtpReplyAssembler::kMaxReplyText);
  EXPECT_EQ(replies.reply().text.substr(replies.reply().text.size() - 2), "\r\n");
}

TEST(FtpReplyTest, CommandVerbNeverCarriesTheArgument) {
  EXPECT_EQ(CommandVerb("pass my secret\r\n"), "PASS");
  EXPECT_EQ(CommandVerb("USER anonymous\r\n"), "USER");
  EXPECT_EQ(CommandVerb("QUIT\r\n"), "QUIT");
  EXPECT_EQ(CommandVerb(std::string(100, 'A')).size(), 16u);
}

TEST(FtpErrorCodeTest, FailuresMapOntoWinInetCodes) {
  struct Row {
    TransferFailure failure;
    CURLcode curl;
    const char* command;
    int reply;
    bool inBody;
    long verify;
    DWORD expected;
  };
  const TransferFailure kCurl = TransferFailure::kCurl;
  const std::vector<Row> rows = {
      {TransferFailure::kStalled, CURLE_OK, "", 0, false, 0, ERROR_INTERNET_TIMEOUT},
      {TransferFailure::kProtocol, CURLE_OK, "", 0, false, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
      {TransferFailure::kAborted, CURLE_OK, "", 0, false, 0, ERROR_INTERNET_OPERATION_CANCELLED},
      {kCurl, CURLE_LOGIN_DENIED, "USER", 530, false, 0, ERROR_INTERNET_INCORRECT_USER_NAME},
      {kCurl, CURLE_LOGIN_DENIED, "PASS", 530, false, 0, ERROR_INTERNET_INCORRECT_PASSWORD},
      {kCurl, CURLE_LOGIN_DENIED, "PASS", 332, false, 0, ERROR_INTERNET_LOGIN_FAILURE},
      {kCurl, CURLE_LOGIN_DENIED, "ACCT", 530, false, 0, ERROR_INTERNET_LOGIN_FAILURE},
      {kCurl, CURLE_REMOTE_ACCESS_DENIED, "CWD", 550, false, 0, ERROR_INTERNET_EXTENDED_ERROR},
      {kCurl, CURLE_FTP_COULDNT_RETR_FILE, "RETR", 451, false, 0, ERROR_INTERNET_EXTENDED_ERROR},
      // A refusal without a refusing reply behind it is nonsense from the server.
      {kCurl, CURLE_FTP_COULDNT_RETR_FILE, "RETR", 250, false, 0,
       ERROR_HTTP_INVALID_SERVER_RESPONSE},
      {kCurl, CURLE_WEIRD_SERVER_REPLY, "", 0, false, 0, ERROR_HTTP_INVALID_SERVER_RESPONSE},
      {kCurl, CURLE_OPERATION_TIMEDOUT, "CWD", 421, false, 0, ERROR_INTERNET_EXTENDED_ERROR},
      {kCurl, CURLE_OPERATION_TIMEDOUT, "CWD", 0, false, 0, ERROR_INTERNET_TIMEOUT},
      {kCurl, CURLE_RECV_ERROR, "RETR", 150, true, 0, ERROR_INTERNET_CONNECTION_ABORTED},
      {kCurl, CURLE_RECV_ERROR, "CWD", 0, false, 0, ERROR_FTP_DROPPED},
      {kCurl, CURLE_PARTIAL_FILE, "RETR", 426, true, 0, ERROR_INTERNET_CONNECTION_ABORTED},
      {kCurl, CURLE_FTP_WEIRD_PASV_REPLY, "PASV", 500, false, 0, ERROR_FTP_NO_PASSIVE_MODE},
      {kCurl, CURLE_COULDNT_RESOLVE_HOST, "", 0, false, 0, ERROR_INTERNET_NAME_NOT_RESOLVED},
      {kCurl, CURLE_COULDNT_CONNECT, "", 0, false, 0, ERROR_INTERNET_CANNOT_CONNECT},
      {kCurl, CURLE_PEER_FAILED_VERIFICATION, "AUTH", 234, false, 20, ERROR_INTERNET_INVALID_CA},
      {kCurl, CURLE_PEER_FAILED_VERIFICATION, "AUTH", 234, false, 1,
       ERROR_INTERNET_SEC_CERT_CN_INVALID},
      {kCurl, CURLE_PEER_FAILED_VERIFICATION, "AUTH", 234, false, 10,
       ERROR_INTERNET_SEC_CERT_DATE_INVALID},
      {kCurl, CURLE_USE_SSL_FAILED, "AUTH", 500, false, 0, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
      {kCurl, CURLE_OUT_OF_MEMORY, "", 0, false, 0, ERROR_INTERNET_INTERNAL_ERROR},
  };
  for (const Row& row : rows) {
    FtpFailureFacts facts;
    facts.failure = row.failure;
    facts.curlCode = row.curl;
    facts.lastCommand = row.command;
    facts.lastReplyCode = row.reply;
    facts.inBody = row.inBody;
    facts.sslVerifyResult = row.verify;
    EXPECT_EQ(FtpErrorCode(facts), row.expected)
        << "curl " << row.curl << " after " << row.command << " " << row.reply;
  }
}

TEST(InternetHelpersTest, ServerAddressForms) {
  struct Row {
    const char* text;
    bool ok;
    ServerScheme scheme;
    const char* host;
    std::uint16_t port;
  };
  const std::vector<Row> rows = {
      {"updates.example.com", true, ServerScheme::kFtp, "updates.example.com", 0},
      {"192.0.2.1", true, ServerScheme::kFtp, "192.0.2.1", 0},
      {"ftp://host", true, ServerScheme::kFtp, "host", 0},
      {"FTPS://host:990/", true, ServerScheme::kFtps, "host", 990},
      {"http://host:8080", true, ServerScheme::kHttp, "host", 8080},
      {"https://h", true, ServerScheme::kHttps, "h", 0},
      {"host:21", false, {}, "", 0},  // a port needs the URL form
      {"gopher://host", false, {}, "", 0},
      {"ftp://", false, {}, "", 0},
      {"ftp://host:0", false, {}, "", 0},
      {"ftp://host:65536", false, {}, "", 0},
      {"ftp://host:", false, {}, "", 0},
      {"ftp://host/updates", false, {}, "", 0},
      {"ftp://user:pw@host", false, {}, "", 0},
      {"ftp://host//", false, {}, "", 0},
      {"bad host", false, {}, "", 0},
      {"", false, {}, "", 0},
  };
  for (const Row& row : rows) {
    ServerAddress address;
    EXPECT_EQ(ParseServerAddress(row.text, &address), row.ok) << row.text;
    if (!row.ok) continue;
    EXPECT_EQ(address.scheme, row.scheme) << row.text;
    EXPECT_EQ(address.host, row.host) << row.text;
    EXPECT_EQ(address.port, row.port) << row.text;
  }
}

TEST(InternetHelpersTest, ErrorTextsAreSentencesEndingInCrLf) {
  for (DWORD code = 12001; code <= 12175; ++code) {
    const std::string text = InternetErrorText(code);
    if (text.empty()) continue;
    EXPECT_GE(text.size(), 12u) << code;
    EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << code;
  }
  for (DWORD code :
       {ERROR_INTERNET_TIMEOUT, ERROR_INTERNET_EXTENDED_ERROR, ERROR_INTERNET_NAME_NOT_RESOLVED,
        ERROR_INTERNET_INCORRECT_PASSWORD, ERROR_INTERNET_CANNOT_CONNECT, ERROR_FTP_DROPPED,
        ERROR_FTP_NO_PASSIVE_MODE, ERROR_HTTP_INVALID_SERVER_RESPONSE, ERROR_INTERNET_INVALID_CA}) {
    EXPECT_FALSE(InternetErrorText(code).empty()) << code;
  }
  EXPECT_EQ(InternetErrorText(2), "");
}

TEST(InternetHelpersTest, LastResponseBufferContract) {
  RecordLastResponse({550, "550-No such file.\r\n550 Really.\r\n"});
  const DWORD textLength = 32;
  DWORD code = 0;
  char one[1];
  DWORD length = sizeof(one);
  EXPECT_FALSE(InternetGetLastResponseInfo(&code, one, &length));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, textLength + 1);
  EXPECT_EQ(code, 550u);

  std::string buffer(length, '?');
  EXPECT_TRUE(InternetGetLastResponseInfo(&code, buffer.data(), &length));
  EXPECT_EQ(length, textLength);
  EXPECT_STREQ(buffer.c_str(), "550-No such file.\r\n550 Really.\r\n");

  EXPECT_FALSE(InternetGetLastResponseInfo(&code, buffer.data(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The response is the calling thread's own.
  std::thread([] {
    DWORD otherCode = 7;
    char empty[1];
    DWORD otherLength = sizeof(empty);
    EXPECT_TRUE(InternetGetLastResponseInfo(&otherCode, empty, &otherLength));
    EXPECT_EQ(otherCode, 0u);
    EXPECT_EQ(otherLength, 0u);
  }).join();
}

TEST(InternetHelpersTest, ZeroTimeLimitsMeanTheDefaults) {
  SetInternetTimeouts({0, 1234});
  EXPECT_EQ(GetInternetTimeouts().connectMs, InternetTimeouts{}.connectMs);
  EXPECT_EQ(GetInternetTimeouts().stallMs, 1234u);
  SetInternetTimeouts({});
}

TEST(InternetHelpersTest, PercentEncodingKeepsOnlyUnreservedBytes) {
  EXPECT_EQ(PercentEncode("/srv/up dates\\a%b~c_d.e-f"), "%2Fsrv%2Fup%20dates%5Ca%25b~c_d.e-f");
  EXPECT_EQ(PercentEncode(std::string("\xE9\x01", 2)), "%E9%01");
}

}  // namespace
}  // namespace internet
