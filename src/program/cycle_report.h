// Hears the outcome of each update cycle of one processor, for the service's log and metrics.
//
// The library reports no end of a cycle, so the program watches for it: the preparation callback,
// which the library calls at the start of every cycle (and, since the program always names the
// root directory, at no other time), marks a cycle as running; the worker's write of the
// last-update time shows that it succeeded, and its write of the next-update time at the end of
// the pass that it is over. What it installed is what the log's "Updated N files" (and, in
// verified mode, "Restored N installed files") entries of the processor counted in the meantime.
#ifndef FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
#define FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>

#include "program/log_monitor.h"
#include "program/program_config.h"

namespace updater {

class Metrics;

// What one cycle did, as the program sees it from outside the library.
struct CycleFacts {
  bool succeeded = false;
  FileCounts files;  // files the log reported fetched ("Updated N files") and restored
  // Their bytes: the sizes of the files the cycle wrote into the backup directory (changed since
  // the cycle started), the trigger file left out.
  std::uint64_t bytes = 0;
  double seconds = 0;       // from the preparation callback to the end of the pass
  std::uint32_t ended = 0;  // seconds since 1970
};

class CycleReport {
 public:
  // `monitor` counts processor `index`'s installed files; `processor` names the properties the
  // worker writes. `logOutcome` writes the program's outcome entry at the end of every cycle;
  // `metrics`, when given, hears every cycle's facts as processor `index`. All outlive this
  // object, which must itself outlive StopRepositoryUpdateThread.
  CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor, std::size_t index,
              bool logOutcome, Metrics* metrics = nullptr);
  ~CycleReport();
  CycleReport(const CycleReport&) = delete;
  CycleReport& operator=(const CycleReport&) = delete;

  // On the worker thread, from the preparation callback: a cycle begins.
  void CycleStarting();
  // The facts of the last cycle that ended; nothing before the first.
  std::optional<CycleFacts> LastCycle() const;
  // The facts of the cycle in progress as if it ended now, failed; zero before the first start.
  CycleFacts Unfinished() const;

 private:
  // On the writing thread, after every property write of the process.
  void PropertyWritten(const char* section, const char* name);
  CycleFacts FactsNow(bool succeeded) const;  // under mutex_

  const ProcessorSettings& processor_;
  const LogMonitor& monitor_;
  const std::size_t index_;
  const bool logOutcome_;
  Metrics* const metrics_;
  mutable std::mutex mutex_;
  bool running_ = false;
  bool succeeded_ = false;
  FileCounts filesBefore_;
  std::chrono::steady_clock::time_point started_{};
  timespec startedCoarse_{};  // the file system's clock at the start
  std::optional<CycleFacts> last_;
  int subscription_ = 0;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
