// run: the service. Starts every configured processor's update worker and keeps them running until
// SIGINT or SIGTERM.
#include <signal.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "filerepository/filerepository.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/cycle_report.h"
#include "program/host_settings.h"
#include "program/log_monitor.h"
#include "program/metrics.h"
#include "program/processor_block.h"
#include "program/program_log.h"
#include "program/property_store.h"
#include "program/stop_signals.h"

namespace updater {
namespace {

// How often the main thread looks for detected invalid definition files between signals.
constexpr std::chrono::milliseconds kPollInterval(500);

// Records, once per processor, what the log told about invalid definition files.
class InvalidFilesRecorder {
 public:
  InvalidFilesRecorder(const std::vector<const ProcessorSettings*>& processors,
                       const LogMonitor& monitor, PropertyStore& store)
      : processors_(processors),
        monitor_(monitor),
        store_(store),
        recorded_(processors.size(), false) {}

  void Update() {
    if (!IllegalUpdatesDetected()) return;  // cheap test first: nothing was ever found
    for (std::size_t i = 0; i < processors_.size(); ++i) {
      if (recorded_[i] || !monitor_.InvalidDefinitionFiles(i)) continue;
      const ProcessorSettings& processor = *processors_[i];
      if (store_.SetNumber(processor.Name(), kInvalidDefinitionFilesProperty, 1)) {
        recorded_[i] = true;
        PrintError(processor.Name() +
                   ": invalid definition files detected; only requested updates will run");
      }
    }
  }

 private:
  const std::vector<const ProcessorSettings*>& processors_;
  const LogMonitor& monitor_;
  PropertyStore& store_;
  std::vector<bool> recorded_;
};

// The processor's server, or its mirrors in the order they are tried.
std::string ServerList(const ProcessorSettings& processor) {
  std::string list;
  for (const std::string& server : processor.servers) list += (list.empty() ? "" : ", ") + server;
  return list;
}

}  // namespace

int RunService(const ProgramConfig& config) {
  BlockStopSignals();  // before the library starts any thread: they all inherit the mask

  std::vector<const ProcessorSettings*> processors;
  for (const ProcessorSettings& processor : config.processors) processors.push_back(&processor);

  WorkerHost host;
  if (!host.Open(config, processors)) return kExitFailed;
  PropertyStore& store = host.store();

  std::atomic<bool> stopping{false};
  LogMonitor monitor(processors);
  std::unique_ptr<Metrics> metrics;
  if (!config.metricsFile.empty()) {
    metrics = std::make_unique<Metrics>(config.metricsFile, processors, monitor, true);
  }
  std::string started = std::string("version ") + kProgramVersion;
  std::vector<std::unique_ptr<CycleReport>> reports;
  for (std::size_t i = 0; i < processors.size(); ++i) {
    const ProcessorSettings& processor = *processors[i];
    reports.push_back(std::make_unique<CycleReport>(processor, monitor, i, true, metrics.get()));
    started += "\r\n" + processor.Name() + " (" + processor.DisplayName() + ") from " +
               ServerList(processor) + " into " + processor.DefinitionsDir();
  }
  LogProgramOperation(kEventServiceStarted, "", {"Service started", started});
  if (metrics) metrics->Start();

  std::vector<std::unique_ptr<ProcessorBlock>> blocks;
  for (std::size_t i = 0; i < processors.size(); ++i) {
    blocks.push_back(std::make_unique<ProcessorBlock>(*processors[i], &stopping, reports[i].get()));
    if (StartRepositoryUpdateThread(blocks.back()->config()) == 0) {
      PrintError(processors[i]->Name() + ": cannot start the update worker");
      stopping = true;
      StopRepositoryUpdateThread();
      if (metrics) metrics->Stop();
      LogProgramError(
          kEventServiceStopped, "",
          {"Service stopped", processors[i]->Name() + ": cannot start the update worker"});
      return kExitFailed;
    }
    PrintError("updating " + processors[i]->Name() + " (" + processors[i]->DisplayName() +
               ") from " + ServerList(*processors[i]) + " into " + processors[i]->DefinitionsDir());
  }

  InvalidFilesRecorder recorder(processors, monitor, store);
  int sig = 0;
  while ((sig = WaitForStopSignal(kPollInterval)) == 0 || sig == SIGHUP) {
    if (sig == SIGHUP) ReopenLogOnHangup();
    recorder.Update();
  }

  const std::string signalName = std::string("SIG") + sigabbrev_np(sig);
  PrintError("stopping on " + signalName);
  stopping = true;  // a callback command still running is ended rather than waited for
  StopRepositoryUpdateThread();
  recorder.Update();
  for (std::size_t i = 0; i < processors.size(); ++i) {
    // Nothing is scheduled once the service has stopped.
    store.SetNumber(processors[i]->Name(), processors[i]->Text("next_update_property"), 0);
  }
  if (metrics) metrics->Stop();
  LogProgramOperation(kEventServiceStopped, "", {"Service stopped", "on " + signalName});
  PrintError("stopped");
  return kExitOk;
}

}  // namespace updater
