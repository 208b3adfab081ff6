// For the transport tests: a connected transport reads a signing file of exactly its limit, and
// refuses one byte more unread, one the server lacks, and one the server will not send, with the
// transport's cause `refused`. The server serves "at.minisig" with 16384 bytes of 's' and
// "over.minisig" with 16385, and refuses "refused.minisig", in the updates directory.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_SIGNING_FILES_H_
#define FILEREPOSITORY_TESTS_SUPPORT_SIGNING_FILES_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "update/repository_updates.h"

namespace testing_support {

inline void ExpectSigningFileLimits(CRepositoryUpdates& run, DWORD refused) {
  std::string content;
  EXPECT_TRUE(run.FetchSigningFile("at.minisig", 16384, content));
  EXPECT_EQ(content, std::string(16384, 's'));
  for (const auto& [name, error] : {std::pair{"over.minisig", ERROR_NOT_ENOUGH_MEMORY},
                                    {"none.minisig", ERROR_FILE_NOT_FOUND},
                                    {"refused.minisig", refused}}) {
    EXPECT_FALSE(run.FetchSigningFile(name, 16384, content));
    EXPECT_EQ(GetLastError(), error) << name;
  }
}

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_SIGNING_FILES_H_
