// Captures the log's entries for a test: an RAII subscriber that records every entry logged while
// it lives, from any thread, and keeps the stderr line sink quiet meanwhile.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_LOG_CAPTURE_H_
#define FILEREPOSITORY_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/mail_server.h"

namespace testing_support {

using LogPredicate = std::function<bool(const LogEntry&)>;

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // A copy of the entries captured so far, in the order they were logged.
  std::vector<LogEntry> entries() const;
  bool Contains(const LogPredicate& predicate) const;
  void Clear();
  // All entries in their compact form, one a line, for assertion messages.
  std::string Dump() const;

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
  int token_ = 0;
  bool lineSinkWasEnabled_ = true;
};

// "error 20051 [Connecting to the MailFilter0 updates server | 12029]": the kind, the event id and
// the texts (the first text and the source are left out; they rarely tell entries apart).
std::string Describe(const LogEntry& entry);

}  // namespace testing_support

// Lets GoogleTest print entries in its failure messages.
void PrintTo(const LogEntry& entry, std::ostream* out);

#endif  // FILEREPOSITORY_TESTS_SUPPORT_LOG_CAPTURE_H_
