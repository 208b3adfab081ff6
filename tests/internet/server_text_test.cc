// What the internet layer reads from configuration and from a server: the server address forms,
// the cap on the bytes of a listing (beyond what a fuzz input reaches), and the code of a
// connection that breaks. FTP replies and the lines of a listing are checked against models of
// their syntax by fuzz/ftp_reply_fuzzer.cc and fuzz/ftp_listing_parser_fuzzer.cc, whose corpora
// the suite replays; a server without MLSD, by the FTP transport's tests.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/internet/ftp_listing.h"
#include "platform/internet/http_request.h"
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
           {"FTPS://up_dates", "ftps up_dates 0"},  // a scheme in any case, "_" in a host
           {"HTTP://h:8080/", "http h 8080"},
           {"Https://h:65535", "https h 65535"},
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
  CInternetSession session(nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  // A host name may hold a hyphen.
  EXPECT_NO_THROW(delete session.GetHttpConnection("updates-eu.example.com", 80, {}, {}, false));
}

TEST(FtpListingTest, ParserCapsTheBytesOfAListing) {
  FtpListingParser endless(ListingFormat::kMlsd);
  const std::string chunk(1 << 20, 'x');
  bool ok = true;
  for (std::size_t fed = 0; ok && fed <= FtpListingParser::kMaxListingBytes; fed += chunk.size()) {
    ok = endless.Feed(chunk);
  }
  EXPECT_FALSE(ok);
  EXPECT_FALSE(endless.Finish());
}

TEST(HttpFailureTest, ABreakBeforeTheResponseHeadIsAResetAfterItAnAbort) {
  HttpFailureFacts broken{TransferFailure::kCurl, CURLE_RECV_ERROR};
  EXPECT_EQ(HttpErrorCode(broken), ERROR_INTERNET_CONNECTION_RESET);
  broken.headReceived = true;
  EXPECT_EQ(HttpErrorCode(broken), ERROR_INTERNET_CONNECTION_ABORTED);
}

}  // namespace
}  // namespace internet
