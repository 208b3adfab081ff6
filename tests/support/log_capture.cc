#include "support/log_capture.h"

#include <algorithm>
#include <utility>

namespace testing_support {

LogCapture::LogCapture() : lineSinkWasEnabled_(LogLineSinkEnabled()) {
  SetLogLineSinkEnabled(false);
  token_ = SubscribeLog([this](const LogEntry& entry) {
    {
      std::lock_guard lock(mutex_);
      entries_.push_back(entry);
    }
    arrived_.notify_all();
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

std::vector<LogEntry> LogCapture::Matching(const LogPredicate& predicate) const {
  std::lock_guard lock(mutex_);
  std::vector<LogEntry> found;
  std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(found), predicate);
  return found;
}

void LogCapture::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

std::optional<LogEntry> LogCapture::WaitFor(const LogPredicate& predicate,
                                            std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::optional<LogEntry> found;
  arrived_.wait_for(lock, timeout, [&] {
    auto it = std::find_if(entries_.begin(), entries_.end(), predicate);
    if (it != entries_.end()) found = *it;
    return found.has_value();
  });
  return found;
}

std::string LogCapture::Dump() const {
  std::string out;
  for (const LogEntry& entry : entries()) out += Describe(entry) + "\n";
  return out.empty() ? "(no entries)\n" : out;
}

std::string Describe(const LogEntry& entry) {
  std::string out = entry.error ? "error " : "operation ";
  out += std::to_string(entry.event) + " [";
  for (std::size_t i = 0; i < entry.texts.size(); ++i) {
    if (i > 0) out += " | ";
    out += entry.texts[i];
  }
  return out + "]";
}

LogPredicate IsError(DWORD event) {
  return [event](const LogEntry& entry) { return entry.error && entry.event == event; };
}

LogPredicate IsOperation(DWORD event) {
  return [event](const LogEntry& entry) { return !entry.error && entry.event == event; };
}

LogPredicate HasText(const std::string& part) {
  return [part](const LogEntry& entry) {
    return std::any_of(entry.texts.begin(), entry.texts.end(), [&](const std::string& text) {
      return text.find(part) != std::string::npos;
    });
  };
}

}  // namespace testing_support

void PrintTo(const LogEntry& entry, std::ostream* out) {
  *out << testing_support::Describe(entry);
}
