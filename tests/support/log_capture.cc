#include "support/log_capture.h"

#include <algorithm>

namespace testing_support {

LogCapture::LogCapture() : lineSinkWasEnabled_(LogLineSinkEnabled()) {
  SetLogLineSinkEnabled(false);
  token_ = SubscribeLog([this](const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  });
}

LogCapture::~LogCapture() {
  UnsubscribeLog(token_);  // after this no entry reaches this object
  SetLogLineSinkEnabled(lineSinkWasEnabled_);
}

std::vector<LogEntry> LogCapture::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool LogCapture::Contains(const LogPredicate& predicate) const {
  const std::vector<LogEntry> all = entries();
  return std::any_of(all.begin(), all.end(), predicate);
}

void LogCapture::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

std::string LogCapture::Dump() const {
  std::string out;
  for (const LogEntry& entry : entries()) out += Describe(entry) + "\n";
  return out.empty() ? "(no entries)\n" : out;
}

std::string Describe(const LogEntry& entry) {
  std::string out = (entry.error ? "error " : "operation ") + std::to_string(entry.event) + " [";
  for (std::size_t i = 0; i < entry.texts.size(); ++i) out += (i > 0 ? " | " : "") + entry.texts[i];
  return out + "]";
}

}  // namespace testing_support

void PrintTo(const LogEntry& entry, std::ostream* out) {
  *out << testing_support::Describe(entry);
}
