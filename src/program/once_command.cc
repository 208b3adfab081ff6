// once: one update cycle per processor, then stop.
//
// The library has no call for a single cycle, so the command drives the worker through the
// properties it reads and publishes: it requests a cycle with the update-now property, hears the
// end of the pass in the worker's write of the next-update time, and learns the outcome from the
// last-update time, which the worker writes only after a successful cycle.
//
// The worker it starts is given scratch names for those three properties, so that the real ones
// change only once the outcome is known: a `once` killed during its cycle leaves the last-update
// time, the next-update time and any update-now request of the administrator as they were.
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/host_settings.h"
#include "program/cycle_report.h"
#include "program/log_monitor.h"
#include "program/metrics.h"
#include "program/mirrors.h"
#include "program/processor_block.h"
#include "program/program_log.h"
#include "program/property_store.h"
#include "program/stop_signals.h"

namespace updater {
namespace {

constexpr std::uint32_t kDefaultTimeoutSecs = 3600;
// The longest single wait of the main thread; a pass's end wakes it at once.
constexpr std::chrono::milliseconds kLongestWait(1000);

constexpr const char* kScheduleKeys[] = {"last_update_property", "next_update_property",
                                         "update_now_property"};

// The scratch name of one of those properties. Only one `run` or `once` works on a processor at
// a time (the root directory's lock), so one name serves every `once`: each arms it anew, and
// what a killed one left there is never read.
std::string ScratchName(const std::string& property) {
  return property + ".once";
}

// The processor as its `once` worker sees it: the schedule properties under scratch names.
ProcessorSettings WithScratchSchedule(const ProcessorSettings& processor) {
  ProcessorSettings scratch = processor;
  for (const char* key : kScheduleKeys) scratch.texts[key] = ScratchName(processor.Text(key));
  return scratch;
}

struct Pass {
  const ProcessorSettings* processor;
  ProcessorSettings scratch;  // what the worker is given
  bool started = false;
};

// Arms the scratch properties for one requested cycle. False when the store refuses a write.
bool ArmPass(PropertyStore& store, Pass& pass) {
  const ProcessorSettings& p = pass.scratch;
  const std::string& section = p.Name();
  return store.SetNumber(section, p.Text("last_update_property"), 0) &&
         store.SetNumber(section, p.Text("update_now_property"), 1);
}

// Hears each worker's write of its scratch next-update time, the end of its pass, and wakes the
// main thread through an event descriptor.
class PassEnds {
 public:
  explicit PassEnds(const std::vector<Pass>& passes)
      : passes_(passes), ended_(passes.size()), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    subscription_ = SubscribePropertyWrites([this](const char* section, const char* name) {
      for (std::size_t i = 0; i < passes_.size(); ++i) {
        const ProcessorSettings& p = passes_[i].scratch;
        if (strcasecmp(section, p.Name().c_str()) != 0 ||
            strcasecmp(name, p.Text("next_update_property").c_str()) != 0) {
          continue;
        }
        ended_[i] = true;
        const std::uint64_t one = 1;
        if (fd_ >= 0 && ::write(fd_, &one, sizeof one) < 0) {
          // The counter cannot overflow here; the main thread also looks on its own.
        }
      }
    });
  }
  ~PassEnds() {
    UnsubscribePropertyWrites(subscription_);
    if (fd_ >= 0) ::close(fd_);
  }
  PassEnds(const PassEnds&) = delete;
  PassEnds& operator=(const PassEnds&) = delete;

  bool AllEnded() const {
    for (std::size_t i = 0; i < passes_.size(); ++i) {
      if (passes_[i].started && !ended_[i]) return false;
    }
    return true;
  }
  int fd() const { return fd_; }
  void Drain() {
    std::uint64_t count = 0;
    if (fd_ >= 0 && ::read(fd_, &count, sizeof count) < 0) count = 0;
  }

 private:
  const std::vector<Pass>& passes_;
  std::vector<std::atomic<bool>> ended_;
  const int fd_;
  int subscription_ = 0;
};

// After the workers have stopped: true when the cycle succeeded. Records the outcome in the real
// properties: the time of a successful cycle; the update-now request is served and nothing is
// scheduled without a running service.
bool FinishPass(PropertyStore& store, const Pass& pass) {
  const ProcessorSettings& p = *pass.processor;
  const std::string& section = p.Name();
  const std::optional<std::uint32_t> last =
      store.GetNumber(section, pass.scratch.Text("last_update_property"));
  const bool succeeded = pass.started && last.has_value() && *last != 0;
  if (succeeded) store.SetNumber(section, p.Text("last_update_property"), *last);
  store.SetNumber(section, p.Text("update_now_property"), 0);
  store.SetNumber(section, p.Text("next_update_property"), 0);
  return succeeded;
}

}  // namespace

bool SelectProcessors(const CommandLine& line, const ProgramConfig& config,
                      std::vector<const ProcessorSettings*>* selected) {
  if (line.processor.empty()) {
    for (const ProcessorSettings& processor : config.processors) selected->push_back(&processor);
    return true;
  }
  const ProcessorSettings* processor = config.FindProcessor(line.processor);
  if (processor == nullptr) {
    PrintError(config.file + ": no processor named \"" + line.processor + "\"");
    return false;
  }
  selected->push_back(processor);
  return true;
}

int RunOnce(const CommandLine& line, const ProgramConfig& config) {
  BlockStopSignals();  // before the library starts any thread: they all inherit the mask

  std::vector<const ProcessorSettings*> processors;
  if (!SelectProcessors(line, config, &processors)) return kExitUsage;

  WorkerHost host;
  if (!host.Open(config, processors)) return kExitFailed;
  PropertyStore& store = host.store();

  std::vector<Pass> passes;
  for (const ProcessorSettings* processor : processors) {
    passes.push_back(Pass{processor, WithScratchSchedule(*processor)});
    if (!ArmPass(store, passes.back())) {
      PrintError(processor->Name() + ": cannot write its properties in " + config.storePath);
      return kExitFailed;
    }
  }

  PassEnds passEnds(passes);
  std::atomic<bool> stopping{false};
  LogMonitor monitor(processors);
  std::unique_ptr<Metrics> metrics;
  std::vector<std::unique_ptr<CycleReport>> reports;  // what each cycle did, for the metrics
  if (!config.metricsFile.empty()) {
    metrics = std::make_unique<Metrics>(config.metricsFile, processors, monitor, false);
    for (std::size_t i = 0; i < passes.size(); ++i) {
      reports.push_back(std::make_unique<CycleReport>(passes[i].scratch, monitor, i, false));
    }
    metrics->Start();
  }
  std::vector<std::unique_ptr<ProcessorBlock>> blocks;
  for (std::size_t i = 0; i < passes.size(); ++i) {
    Pass& pass = passes[i];
    blocks.push_back(std::make_unique<ProcessorBlock>(pass.scratch, &stopping,
                                                      metrics ? reports[i].get() : nullptr));
    pass.started = StartRepositoryUpdateThread(blocks.back()->config()) != 0;
    if (!pass.started) PrintError(pass.processor->Name() + ": cannot start the update worker");
  }

  const std::uint32_t timeoutSecs = line.timeoutSecs.value_or(kDefaultTimeoutSecs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSecs);
  int sig = 0;
  while (!passEnds.AllEnded()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds(0)) {
      PrintError("no result within " + std::to_string(timeoutSecs) + " seconds; stopping");
      break;
    }
    if ((sig = WaitForStopSignal(std::min(left, kLongestWait), passEnds.fd())) == SIGHUP) {
      ReopenLogOnHangup();
    } else if (sig != 0) {
      PrintError(std::string("interrupted by SIG") + sigabbrev_np(sig) + "; stopping");
      break;
    }
    passEnds.Drain();
  }
  stopping = true;               // a callback command still running is ended rather than waited for
  StopRepositoryUpdateThread();  // a cycle still running stops between downloads

  bool anyFailed = false;
  bool anyInvalid = false;
  for (std::size_t i = 0; i < passes.size(); ++i) {
    const Pass& pass = passes[i];
    const std::string& name = pass.processor->Name();
    const bool succeeded = FinishPass(store, pass);
    if (monitor.InvalidDefinitionFiles(i)) {
      anyInvalid = true;
      store.SetNumber(name, kInvalidDefinitionFilesProperty, 1);
      PrintError(name + ": invalid definition files detected");
    }
    // A running service would start its next cycle at the next mirror: so does the next once.
    if (pass.started && !succeeded && blocks[i]->mirrorChosen()) {
      MoveToNextMirror(store, *pass.processor);
    }
    if (metrics && pass.started) {
      CycleFacts facts = reports[i]->LastCycle().value_or(reports[i]->Unfinished());
      facts.succeeded = succeeded;
      metrics->CycleEnded(i, facts);
    }
    anyFailed = anyFailed || !succeeded;
    if (pass.started) {
      LogCycleOutcome(name, pass.processor->DisplayName(), succeeded, monitor.Files(i));
    }
    PrintLine(name + ": " + CycleOutcomeText(succeeded, monitor.Files(i)));
  }
  if (metrics) metrics->Stop();
  if (anyInvalid) return kExitInvalidDefinitions;
  return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace updater
