// Shared by the tests of the update run and of its transports: a slot of the test's own to run a
// run object over, and the checksum list line that announces a file.
#ifndef FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_
#define FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_

#include <cstdio>
#include <string>

#include "integrity/crc32.h"
#include "integrity/file_helpers.h"
#include "service/update_slot.h"
#include "support/test_config.h"
#include "update/repository_updates.h"

namespace testing_support {

// A slot like the library's, opened for one test.
class TestSlot {
 public:
  explicit TestSlot(TestConfig& config) {
    slot_.m_pConfig = config.get();
    slot_.Open();
  }
  UpdateSlot* get() { return &slot_; }
  UpdateSlot* operator->() { return &slot_; }

 private:
  UpdateSlot slot_;
};

// The "%x name\r\n" line for a file with the given content.
inline std::string ChecksumLine(const std::string& name, const std::string& content) {
  char line[32];
  snprintf(line, sizeof(line), "%x ",
           CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
  return line + name + "\r\n";
}

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_
