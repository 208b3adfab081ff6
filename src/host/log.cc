// The log's sinks: a line sink (stderr or an appended file, text or JSON) and the in-process
// subscribers, and CLogRecord, which writes entries to them.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "host/mail_server.h"
#include "host/subscribers.h"

namespace {

struct LineSinkConfig {
  LogFormat format = LogFormat::kText;
  std::string file;  // empty: stderr
};

class LineSink {
 public:
  void Configure(LogFormat format, const char* file) {
    std::lock_guard lock(mutex_);
    overridden_ = true;
    override_ = {format, file != nullptr ? file : ""};
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    overridden_ = false;
    environmentRead_ = false;
  }

  void SetEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
  }

  bool Enabled() {
    std::lock_guard lock(mutex_);
    return enabled_;
  }

  void Write(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    if (!enabled_) return;
    const LineSinkConfig& config = Current();
    std::string line = FormatLogLine(entry, config.format);
    line += '\n';
    // The mutex keeps this process's lines whole; O_APPEND and one write per line keep lines of
    // other processes appending to the same file from splitting them.
    if (!config.file.empty() && OpenFile(config.file) && WriteAll(fd_, line)) return;
    WriteAll(STDERR_FILENO, line);  // a log file that cannot be written loses nothing
  }

  void Flush() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::fdatasync(fd_);
  }

  // After a rotation the open descriptor still writes to the moved file: close it and open the
  // file of the configured name again (made anew when it is missing).
  bool Reopen() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fdPath_.clear();
    const LineSinkConfig& config = Current();
    return config.file.empty() || OpenFile(config.file);
  }

 private:
  // The configuration in force: ConfigureLog's, else the environment's as read at the first
  // entry after start or after ResetLogConfiguration.
  const LineSinkConfig& Current() {
    if (overridden_) return override_;
    if (!environmentRead_) {
      const char* format = std::getenv("VELMORA_LOG_FORMAT");
      const char* file = std::getenv("VELMORA_LOG_FILE");
      environment_.format = format != nullptr && ::strcasecmp(format, "json") == 0
                                ? LogFormat::kJson
                                : LogFormat::kText;
      environment_.file = file != nullptr ? file : "";
      environmentRead_ = true;
    }
    return environment_;
  }

  bool OpenFile(const std::string& path) {
    if (fd_ >= 0 && path == fdPath_) return true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    fdPath_ = fd_ >= 0 ? path : "";
    return fd_ >= 0;
  }

  static bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::mutex mutex_;
  bool enabled_ = true;
  bool overridden_ = false;
  LineSinkConfig override_;
  bool environmentRead_ = false;
  LineSinkConfig environment_;
  int fd_ = -1;
  std::string fdPath_;
};

using Subscribers = host_internal::SubscriberList<const LogEntry&>;

// Never destroyed: threads may log while static objects are torn down at exit.
LineSink& Sink() {
  static LineSink* sink = new LineSink;
  return *sink;
}
Subscribers& AllSubscribers() {
  static Subscribers* subscribers = new Subscribers;
  return *subscribers;
}

std::string CurrentUtcTime() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace

void ConfigureLog(LogFormat format, const char* file) {
  Sink().Configure(format, file);
}
void ResetLogConfiguration() {
  Sink().Reset();
}
bool ReopenLogFile() {
  return Sink().Reopen();
}
void SetLogLineSinkEnabled(bool enabled) {
  Sink().SetEnabled(enabled);
}
bool LogLineSinkEnabled() {
  return Sink().Enabled();
}
int SubscribeLog(LogSubscriber subscriber) {
  return AllSubscribers().Add(std::move(subscriber));
}
void UnsubscribeLog(int token) {
  AllSubscribers().Remove(token);
}

CLogRecord::CLogRecord(_tMailServer* /*handle*/, const char* source, void* /*reserved*/)
    : m_source(source != nullptr ? source : "") {}

CLogRecord::~CLogRecord() = default;

void CLogRecord::LogOperationVa(const char* first, DWORD eventId, DWORD count,
                                const char* const* texts) {
  Log(false, first, eventId, count, texts);
}

void CLogRecord::LogErrorVa(const char* first, DWORD eventId, DWORD count,
                            const char* const* texts) {
  Log(true, first, eventId, count, texts);
}

void CLogRecord::Flush() {
  Sink().Flush();
}

void CLogRecord::Log(bool error, const char* first, DWORD eventId, DWORD count,
                     const char* const* texts) {
  try {
    LogEntry entry;
    entry.time = CurrentUtcTime();
    entry.error = error;
    entry.source = m_source;
    entry.event = eventId;
    entry.first = first != nullptr ? first : "";
    if (texts != nullptr) {
      entry.texts.reserve(count);
      for (DWORD i = 0; i < count; ++i) entry.texts.emplace_back(texts[i] ? texts[i] : "");
    }
    Sink().Write(entry);
    AllSubscribers().Deliver(entry);
  } catch (...) {
    // Logging reports; it never fails its caller (out of memory loses the entry).
  }
}
