// Exact log entries for assertions: kind, event id and every text.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_LOG_ENTRIES_H_
#define FILEREPOSITORY_TESTS_SUPPORT_LOG_ENTRIES_H_

#include <string>
#include <vector>

#include "host/mail_server.h"
#include "support/log_capture.h"

namespace testing_support {

struct ExpectedEntry {
  bool error;
  DWORD event;
  std::vector<std::string> texts;
};

inline ExpectedEntry Error(DWORD event, std::vector<std::string> texts) {
  return {true, event, std::move(texts)};
}
inline ExpectedEntry Operation(DWORD event, std::vector<std::string> texts) {
  return {false, event, std::move(texts)};
}

inline bool Matches(const LogEntry& entry, const ExpectedEntry& expected) {
  return entry.error == expected.error && entry.event == expected.event &&
         entry.texts == expected.texts;
}

inline LogPredicate Is(ExpectedEntry expected) {
  return [expected](const LogEntry& entry) { return Matches(entry, expected); };
}

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_LOG_ENTRIES_H_
