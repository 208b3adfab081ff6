// What the internet layer reads from configuration and from a server's control connection: the
// server address forms, and FTP replies assembled from their lines.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/internet/ftp_reply.h"
#include "platform/internet/internet.h"

namespace internet {
namespace {

// "scheme host port" as parsed, or "" for a text that is no address.
std::string Parsed(const std::string& text) {
  ServerAddress address;
  if (!ParseServerAddress(text, &address)) return "";
  const char* schemes[] = {"ftp", "ftps", "http", "https"};
  return std::string(schemes[static_cast<int>(address.scheme)]) + " " + address.host + " " +
         std::to_string(address.port);
}

TEST(ServerAddressTest, HostsAndUrlsOfEachSchemeAndNothingElse) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"updates.example.com", "ftp updates.example.com 0"},
           {"ftp://10.0.0.1:2121", "ftp 10.0.0.1 2121"},
           {"FTPS://h", "ftps h 0"},
           {"http://h:8080/", "http h 8080"},
           {"https://h:65535", "https h 65535"},
           {"gopher://h", ""},
           {"ftp://", ""},
           {"ftp://h:0", ""},
           {"ftp://h:65536", ""},
           {"ftp://h:", ""},
           {"ftp://h/updates", ""},
           {"ftp://user:pw@h", ""},
           {"h h", ""},
       }) {
    EXPECT_EQ(Parsed(text), expected) << text;
  }
}

TEST(FtpReplyTest, MultiLineRepliesAreWholeAndMalformedOnesStartAfresh) {
  using Status = FtpReplyAssembler::Status;
  FtpReplyAssembler replies;
  EXPECT_EQ(replies.AddLine("220 ready\r\n"), Status::kComplete);
  EXPECT_EQ(replies.reply().code, 220);
  // Inner lines may look like replies of another code, or of the same code without a blank.
  for (const char* line : {"230-Welcome\r\n", "331 not the end\r\n", "230-still not\n"}) {
    EXPECT_EQ(replies.AddLine(line), Status::kIncomplete) << line;
  }
  EXPECT_EQ(replies.AddLine("230 done"), Status::kComplete);
  EXPECT_EQ(replies.reply().code, 230);
  EXPECT_EQ(replies.reply().text,
            "230-Welcome\r\n331 not the end\r\n230-still not\r\n230 done\r\n");
  EXPECT_EQ(replies.AddLine("99 short\r\n"), Status::kMalformed);
  EXPECT_EQ(replies.AddLine("600 beyond\r\n"), Status::kMalformed);
  EXPECT_EQ(replies.AddLine("226"), Status::kComplete);
  EXPECT_EQ(replies.reply().code, 226);
}

}  // namespace
}  // namespace internet
