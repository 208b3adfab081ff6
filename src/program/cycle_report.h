// Tells the service's log the outcome of each update cycle of one processor.
//
// The library reports no end of a cycle, so the program marks one: the preparation callback,
// which the library calls at the start of every cycle (and, since the program always names the
// root directory, at no other time), sets the next-update-time property to all ones, which the
// worker never publishes; the worker's own write of that property at the end of the pass shows
// that the cycle is over. The cycle succeeded when it wrote the last-update time, and installed
// what the log's "Updated N files" entries of the processor counted in the meantime.
#ifndef FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
#define FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "program/log_monitor.h"
#include "program/program_config.h"
#include "program/property_store.h"

namespace updater {

// The next-update time while a cycle runs: never a time the worker publishes (0 or now plus at
// most a year).
inline constexpr std::uint32_t kCycleRunning = 0xFFFFFFFF;

class CycleReport {
 public:
  // `monitor` counts processor `index`'s installed files; both outlive this object.
  CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor, std::size_t index);
  CycleReport(const CycleReport&) = delete;
  CycleReport& operator=(const CycleReport&) = delete;

  // On the worker thread, from the preparation callback, with the worker's own store handle.
  // Reports the previous cycle when that has not been done yet (its pass has ended), then marks
  // this one.
  void CycleStarting(PropertyStore& store);
  // On any other thread, with its own store handle: reports the cycle that was marked when its
  // pass has ended. Call it regularly, and once more after the workers have stopped.
  void ReportIfEnded(PropertyStore& store);

 private:
  void Report(PropertyStore& store);  // under mutex_

  const ProcessorSettings& processor_;
  const LogMonitor& monitor_;
  const std::size_t index_;
  std::mutex mutex_;
  bool running_ = false;
  std::uint32_t lastUpdateBefore_ = 0;
  std::uint64_t filesBefore_ = 0;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_CYCLE_REPORT_H_
