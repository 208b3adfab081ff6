#include "program/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "program/mirrors.h"
#include "program/program_log.h"
#include "service/verified_mode.h"

namespace updater {
namespace {

constexpr const char* kPrefix = "repository_updater_";

// A label value as the exposition format writes it.
std::string Quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// One metric family: its header, then its samples; nothing at all when it has none.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help)
      : out_(out), name_(std::string(kPrefix) + name), type_(type), help_(help) {}

  void Sample(const std::string& labels, const std::string& value) {
    if (!headed_) {
      out_ += "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " " + type_ + "\n";
      headed_ = true;
    }
    out_ += name_ + "{" + labels + "} " + value + "\n";
  }
  void Sample(const std::string& labels, std::uint64_t value) {
    Sample(labels, std::to_string(value));
  }

 private:
  std::string& out_;
  const std::string name_;
  const char* type_;
  const char* help_;
  bool headed_ = false;
};

// Writes `content` to `path` through a temporary file beside it, readable by all: the collector
// runs as a user of its own. A link at the temporary name is removed, never followed.
bool ReplaceFile(const std::string& path, const std::string& content, std::string* error) {
  const std::string temporary = path + ".tmp";
  unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && fchmod(fd, 0644) == 0;
  for (std::size_t done = 0; ok && done < content.size();) {
    const ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) done += static_cast<std::size_t>(written);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  *error = std::strerror(errno);
  unlink(temporary.c_str());
  return false;
}

}  // namespace

std::optional<std::uint64_t> VerifiedSetVersion(PropertyStore& store,
                                                const ProcessorSettings& processor) {
  if (processor.publicKeys.empty()) return std::nullopt;
  const std::optional<std::string> text =
      store.GetText(processor.Name(), VerifiedModeSettings().versionProperty);
  std::uint64_t version = 0;
  if (!text ||
      std::from_chars(text->data(), text->data() + text->size(), version).ec != std::errc())
    return std::nullopt;
  return version;
}

Metrics::Metrics(std::string file, std::vector<const ProcessorSettings*> processors,
                 const LogMonitor& monitor, bool countCycles)
    : file_(std::move(file)),
      processors_(std::move(processors)),
      monitor_(monitor),
      countCycles_(countCycles),
      store_(std::make_unique<PropertyStore>()),
      seen_(processors_.size()) {}

Metrics::~Metrics() = default;

void Metrics::Start() {
  std::lock_guard lock(mutex_);
  // As for the log file: a missing directory is the one cause worth repairing.
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(file_).parent_path(), ignored);
  running_ = true;
  Write();
}

void Metrics::CycleEnded(std::size_t index, const CycleFacts& facts) {
  std::lock_guard lock(mutex_);
  Seen& seen = seen_.at(index);
  seen.last = facts;
  ++(facts.succeeded ? seen.succeeded : seen.failed);
  Write();
}

void Metrics::Stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
  Write();
}

void Metrics::Write() {
  std::string error;
  if (ReplaceFile(file_, Render(), &error)) {
    failing_ = false;
    return;
  }
  if (failing_) return;  // said once until a write succeeds again
  failing_ = true;
  LogProgramError(kEventMetricsNotWritten, "", {"Metrics file not written", file_, error});
}

std::string Metrics::Render() {
  std::string out;
  std::vector<std::string> labels;
  for (const ProcessorSettings* p : processors_) labels.push_back("processor=" + Quoted(p->Name()));
  const std::size_t count = processors_.size();
  auto each = [&](auto&& sample) {
    for (std::size_t i = 0; i < count; ++i) sample(i, *processors_[i], seen_[i]);
  };

  Family running(out, "running", "gauge",
                 "1 while the updater works on the processor (run, or once during its cycle).");
  each([&](std::size_t i, const ProcessorSettings&, const Seen&) {
    running.Sample(labels[i], running_ ? 1 : 0);
  });

  Family attempt(out, "last_attempt_timestamp_seconds", "gauge",
                 "End of the last update cycle this process ran, in seconds since 1970.");
  each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
    if (seen.last) attempt.Sample(labels[i], seen.last->ended);
  });

  Family success(out, "last_success_timestamp_seconds", "gauge",
                 "Time of the last successful update cycle, in seconds since 1970; 0 for never.");
  each([&](std::size_t i, const ProcessorSettings& p, const Seen&) {
    success.Sample(labels[i],
                   store_->GetNumber(p.Name(), p.Text("last_update_property")).value_or(0));
  });

  Family result(out, "last_cycle_success", "gauge",
                "1 when the last update cycle succeeded, 0 when it failed.");
  Family duration(out, "last_cycle_duration_seconds", "gauge",
                  "Duration of the last update cycle, with the integrity check after a failure.");
  Family files(out, "last_cycle_fetched_files", "gauge",
               "Definition files the last update cycle downloaded.");
  Family bytes(out, "last_cycle_fetched_bytes", "gauge",
               "Size of the definition files the last update cycle downloaded.");
  each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
    if (seen.last) result.Sample(labels[i], seen.last->succeeded ? 1 : 0);
  });
  each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
    if (seen.last) duration.Sample(labels[i], Number(seen.last->seconds));
  });
  each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
    if (seen.last) files.Sample(labels[i], seen.last->files.updated);
  });
  each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
    if (seen.last) bytes.Sample(labels[i], seen.last->bytes);
  });

  if (countCycles_) {
    Family cycles(out, "cycles_total", "counter",
                  "Update cycles since the service started, by result.");
    each([&](std::size_t i, const ProcessorSettings&, const Seen& seen) {
      cycles.Sample(labels[i] + ",result=\"success\"", seen.succeeded);
      cycles.Sample(labels[i] + ",result=\"failure\"", seen.failed);
    });
  }

  Family invalid(out, "invalid_definition_files", "gauge",
                 "1 when the integrity check found altered installed definition files.");
  each([&](std::size_t i, const ProcessorSettings& p, const Seen&) {
    const bool flagged =
        monitor_.InvalidDefinitionFiles(i) ||
        store_->GetNumber(p.Name(), kInvalidDefinitionFilesProperty).value_or(0) != 0;
    invalid.Sample(labels[i], flagged ? 1 : 0);
  });

  Family mirror(out, "mirror_info", "gauge", "The updates server address the processor uses.");
  each([&](std::size_t i, const ProcessorSettings& p, const Seen&) {
    const std::string& address =
        HasMirrors(p) ? p.servers[MirrorInUse(p, store_->GetText(p.Name(), kMirrorInUseProperty))]
                      : p.Text("server");
    mirror.Sample(labels[i] + ",mirror=" + Quoted(address), 1);
  });

  Family version(out, "verified_set_timestamp_seconds", "gauge",
                 "Version of the installed verified set: its signing time, in seconds since 1970.");
  each([&](std::size_t i, const ProcessorSettings& p, const Seen&) {
    if (const std::optional<std::uint64_t> v = VerifiedSetVersion(*store_, p)) {
      version.Sample(labels[i], *v);
    }
  });
  return out;
}

}  // namespace updater
