// Watches the library's log in-process for what the service program reports per processor: the
// number of files an update cycle downloaded or restored, and whether invalid definition files
// were detected.
#ifndef FILEREPOSITORY_PROGRAM_LOG_MONITOR_H_
#define FILEREPOSITORY_PROGRAM_LOG_MONITOR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/mail_server.h"
#include "program/program_config.h"

namespace updater {

// Files the library's entries of one processor reported: downloaded ("Updated N files") and, in
// verified mode, installed files put back to the signed set ("Restored N installed files ...";
// the downloads a restore makes are counted as downloaded too).
struct FileCounts {
  std::uint64_t updated = 0;
  std::uint64_t restored = 0;
  FileCounts operator-(const FileCounts& before) const {
    return {updated - before.updated, restored - before.restored};
  }
};

// Entries are told apart by processor through their first text (the processor's error or
// operation log text) and their title, which names the display name. Two processors configured
// with the same log texts and display name cannot be told apart.
class LogMonitor {
 public:
  explicit LogMonitor(const std::vector<const ProcessorSettings*>& processors);
  ~LogMonitor();  // unsubscribes; no entry is looked at afterwards
  LogMonitor(const LogMonitor&) = delete;
  LogMonitor& operator=(const LogMonitor&) = delete;

  // Files reported by the entries of processor `index` so far.
  FileCounts Files(std::size_t index) const;
  // Whether the integrity check of processor `index` reported invalid definition files.
  bool InvalidDefinitionFiles(std::size_t index) const;

 private:
  struct Watch {
    std::string operationFirst;
    std::string errorFirst;
    std::string updatingTitle;   // "Updating the <display name> definition files"
    std::string integrityTitle;  // "Checking the integrity of the <display name> ..."
    std::string invalidDetail;
    std::atomic<std::uint64_t> updatedFiles{0};
    std::atomic<std::uint64_t> restoredFiles{0};
    std::atomic<bool> invalidFiles{false};
  };
  void OnEntry(const LogEntry& entry);

  std::vector<std::unique_ptr<Watch>> watches_;
  std::string updatedPrefix_;  // "Updated " of "Updated %1 files: %2"
  int token_ = 0;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_LOG_MONITOR_H_
