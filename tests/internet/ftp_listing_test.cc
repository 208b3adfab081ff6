// The incremental listing parser's cap on the bytes of a listing, beyond what a fuzz input
// reaches. The lines themselves, their pieces and the line cap are the fuzz target's
// (fuzz/ftp_listing_parser_fuzzer.cc), which checks them against a model of the grammar.
#include "platform/internet/ftp_listing.h"

#include <gtest/gtest.h>

#include <string>

namespace internet {
namespace {

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

}  // namespace
}  // namespace internet
