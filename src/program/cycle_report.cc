#include "program/cycle_report.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "program/program_log.h"

namespace updater {

CycleReport::CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor,
                         std::size_t index)
    : processor_(processor), monitor_(monitor), index_(index) {}

void CycleReport::CycleStarting(PropertyStore& store) {
  const std::string& section = processor_.Name();
  const std::string& lastProperty = processor_.Text("last_update_property");
  // A success is told by a new last-update time, which counts whole seconds: a cycle that starts
  // in the second of the last success waits for the next one (at most a second, rarely).
  while (store.GetNumber(section, lastProperty).value_or(0) ==
         static_cast<std::uint32_t>(std::time(nullptr))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::lock_guard lock(mutex_);
  if (running_) Report(store);
  lastUpdateBefore_ = store.GetNumber(section, lastProperty).value_or(0);
  filesBefore_ = monitor_.UpdatedFiles(index_);
  running_ = store.SetNumber(section, processor_.Text("next_update_property"), kCycleRunning);
}

void CycleReport::ReportIfEnded(PropertyStore& store) {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  const std::optional<std::uint32_t> next =
      store.GetNumber(processor_.Name(), processor_.Text("next_update_property"));
  if (next.has_value() && *next != kCycleRunning) Report(store);
}

void CycleReport::Report(PropertyStore& store) {
  running_ = false;
  const std::uint32_t lastUpdate =
      store.GetNumber(processor_.Name(), processor_.Text("last_update_property")).value_or(0);
  const bool succeeded = lastUpdate != lastUpdateBefore_ && lastUpdate != 0;
  LogCycleOutcome(processor_.Name(), processor_.DisplayName(), succeeded,
                  monitor_.UpdatedFiles(index_) - filesBefore_);
}

}  // namespace updater
