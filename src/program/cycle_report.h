// Tells the service's log the outcome of each update cycle of one processor.
//
// The library reports no end of a cycle, so the program watches for it: the preparation callback,
// which the library calls at the start of every cycle (and, since the program always names the
// root directory, at no other time), marks a cycle as running; the worker's write of the
// last-update time shows that it succeeded, and its write of the next-update time at the end of
// the pass that it is over. What it installed is what the log's "Updated N files" (and, in
// verified mode, "Restored N installed files") entries of the processor counted in the meantime.
#ifndef FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
#define FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "program/log_monitor.h"
#include "program/program_config.h"

namespace updater {

class CycleReport {
 public:
  // `monitor` counts processor `index`'s installed files; both outlive this object, which must
  // itself outlive StopRepositoryUpdateThread.
  CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor, std::size_t index);
  ~CycleReport();
  CycleReport(const CycleReport&) = delete;
  CycleReport& operator=(const CycleReport&) = delete;

  // On the worker thread, from the preparation callback: a cycle begins.
  void CycleStarting();

 private:
  // On the writing thread, after every property write of the process.
  void PropertyWritten(const char* section, const char* name);

  const ProcessorSettings& processor_;
  const LogMonitor& monitor_;
  const std::size_t index_;
  std::mutex mutex_;
  bool running_ = false;
  bool succeeded_ = false;
  FileCounts filesBefore_;
  int subscription_ = 0;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
