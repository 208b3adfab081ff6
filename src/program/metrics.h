// The program's metrics for Prometheus: a file in the text exposition format for node_exporter's
// textfile collector ([metrics] textfile), one sample per processor with a `processor` label.
//
// The file is written whole at start, after every cycle and at stop: under a temporary name
// beside it (the name with ".tmp" added, which the collector does not read), then renamed into
// place, so that a scrape never sees half a file. Values come from the store where the store
// keeps them (the last successful update, the invalid-definitions flag, the mirror in use) and
// from the cycles this process saw (the last attempt and what it did).
#ifndef FILEREPOSITORY_PROGRAM_METRICS_H_
#define FILEREPOSITORY_PROGRAM_METRICS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "program/cycle_report.h"
#include "program/log_monitor.h"
#include "program/program_config.h"
#include "program/property_store.h"

namespace updater {

// The version of the verified set installed for `processor` (the signing time of its manifest, in
// seconds since 1970), or nothing when the processor does not run in verified mode.
std::optional<std::uint64_t> VerifiedSetVersion(PropertyStore& store,
                                                const ProcessorSettings& processor);

class Metrics {
 public:
  // `processors` in the order of the labels, and of `monitor`'s indexes; `countCycles` adds a
  // counter of the cycles this process ran (for the service: a `once` runs one). Everything given
  // outlives this object; the property store must be in use (UsePropertyStore).
  Metrics(std::string file, std::vector<const ProcessorSettings*> processors,
          const LogMonitor& monitor, bool countCycles);
  ~Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // Any thread. Each writes the file.
  void Start();
  void CycleEnded(std::size_t index, const CycleFacts& facts);
  void Stop();

 private:
  struct Seen {
    std::optional<CycleFacts> last;
    std::uint64_t succeeded = 0;
    std::uint64_t failed = 0;
  };
  void Write();  // under mutex_
  std::string Render();

  const std::string file_;
  const std::vector<const ProcessorSettings*> processors_;
  const LogMonitor& monitor_;
  const bool countCycles_;
  std::mutex mutex_;
  std::unique_ptr<PropertyStore> store_;
  std::vector<Seen> seen_;
  bool running_ = false;
  bool failing_ = false;  // the last write failed (and was logged)
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_METRICS_H_
