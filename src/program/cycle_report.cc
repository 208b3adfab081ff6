#include "program/cycle_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include "host/mail_server.h"
#include "program/metrics.h"
#include "program/program_log.h"

namespace updater {
namespace {

// Sections and property names compare without regard to case, as the store does.
bool SameName(const char* a, const std::string& b) {
  return a != nullptr && strcasecmp(a, b.c_str()) == 0;
}

bool NotBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// The bytes of the regular files in `directory` whose status changed at or after `since` (the
// file system stamps a change from its coarse clock), leaving out `skipped` in any letter case.
std::uint64_t BytesWrittenSince(const std::string& directory, const timespec& since,
                                const std::string& skipped) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return 0;
  std::uint64_t bytes = 0;
  while (const dirent* entry = readdir(listing)) {
    struct stat status {};
    if (strcasecmp(entry->d_name, skipped.c_str()) == 0 ||
        fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode) || !NotBefore(status.st_ctim, since)) {
      continue;
    }
    bytes += static_cast<std::uint64_t>(status.st_size);
  }
  closedir(listing);
  return bytes;
}

}  // namespace

CycleReport::CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor,
                         std::size_t index, bool logOutcome, Metrics* metrics)
    : processor_(processor),
      monitor_(monitor),
      index_(index),
      logOutcome_(logOutcome),
      metrics_(metrics) {
  subscription_ = SubscribePropertyWrites(
      [this](const char* section, const char* name) { PropertyWritten(section, name); });
}

CycleReport::~CycleReport() {
  UnsubscribePropertyWrites(subscription_);
}

void CycleReport::CycleStarting() {
  std::lock_guard lock(mutex_);
  running_ = true;
  succeeded_ = false;
  filesBefore_ = monitor_.Files(index_);
  started_ = std::chrono::steady_clock::now();
  clock_gettime(CLOCK_REALTIME_COARSE, &startedCoarse_);
}

std::optional<CycleFacts> CycleReport::LastCycle() const {
  std::lock_guard lock(mutex_);
  return last_;
}

CycleFacts CycleReport::Unfinished() const {
  std::lock_guard lock(mutex_);
  return running_ ? FactsNow(false) : CycleFacts{};
}

CycleFacts CycleReport::FactsNow(bool succeeded) const {
  CycleFacts facts;
  facts.succeeded = succeeded;
  facts.files = monitor_.Files(index_) - filesBefore_;
  // Only a cycle that fetched files wrote into the backup directory: one that found nothing new
  // does not pay for the look.
  if (facts.files.updated != 0) {
    facts.bytes =
        BytesWrittenSince(processor_.BackupDir(), startedCoarse_, processor_.Text("trigger_file"));
  }
  facts.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  facts.ended = static_cast<std::uint32_t>(std::time(nullptr));
  return facts;
}

void CycleReport::PropertyWritten(const char* section, const char* name) {
  if (!SameName(section, processor_.Name())) return;
  CycleFacts facts;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    if (SameName(name, processor_.Text("last_update_property"))) {
      succeeded_ = true;
      return;
    }
    if (!SameName(name, processor_.Text("next_update_property"))) return;
    running_ = false;
    facts = FactsNow(succeeded_);
    last_ = facts;
  }
  if (logOutcome_) {
    LogCycleOutcome(processor_.Name(), processor_.DisplayName(), facts.succeeded, facts.files);
  }
  if (metrics_ != nullptr) metrics_->CycleEnded(index_, facts);
}

}  // namespace updater
