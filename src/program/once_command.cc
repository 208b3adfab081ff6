// once: one update cycle per processor, then stop.
//
// The library has no call for a single cycle, so the command drives the worker through the
// properties it reads and publishes: it requests a cycle with the update-now property, sees the
// end of the pass when the worker publishes the next-update time over a sentinel, and learns the
// outcome from the last-update time, which the worker writes only after a successful cycle.
//
// The worker it starts is given scratch names for those three properties, so that the real ones
// change only once the outcome is known: a `once` killed during its cycle leaves the last-update
// time, the next-update time and any update-now request of the administrator as they were.
#include <signal.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "filerepository/filerepository.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/host_settings.h"
#include "program/log_monitor.h"
#include "program/processor_block.h"
#include "program/program_log.h"
#include "program/property_store.h"
#include "program/stop_signals.h"
#include "program/store_watch.h"

namespace updater {
namespace {

constexpr std::uint32_t kDefaultTimeoutSecs = 3600;
constexpr std::chrono::milliseconds kPollInterval(100);
// A write to the store shows before the transaction it belongs to is visible to readers (SQLite
// publishes a commit in its shared index, which a watch does not see): after a write the store is
// looked at again this soon, so that the last commit of a pass is not missed for a whole interval.
constexpr std::chrono::milliseconds kRecheckInterval(2);
// Never a next-update time the worker publishes: it writes 0 or now plus at most a year.
constexpr std::uint32_t kPassRunning = 0xFFFFFFFF;

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
  bool ended = false;
};

// Arms the scratch properties for one requested cycle. False when the store refuses a write.
bool ArmPass(PropertyStore& store, Pass& pass) {
  const ProcessorSettings& p = pass.scratch;
  const std::string& section = p.Name();
  return store.SetNumber(section, p.Text("last_update_property"), 0) &&
         store.SetNumber(section, p.Text("next_update_property"), kPassRunning) &&
         store.SetNumber(section, p.Text("update_now_property"), 1);
}

bool PassEnded(PropertyStore& store, const Pass& pass) {
  const ProcessorSettings& p = pass.scratch;
  const std::optional<std::uint32_t> next =
      store.GetNumber(p.Name(), p.Text("next_update_property"));
  return next.has_value() && *next != kPassRunning;
}

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

int RunOnce(const CommandLine& line, const ProgramConfig& config) {
  BlockStopSignals();  // before the library starts any thread: they all inherit the mask

  std::vector<const ProcessorSettings*> processors;
  if (!line.processor.empty()) {
    const ProcessorSettings* processor = config.FindProcessor(line.processor);
    if (processor == nullptr) {
      PrintError(config.file + ": no processor named \"" + line.processor + "\"");
      return kExitUsage;
    }
    processors.push_back(processor);
  } else {
    for (const ProcessorSettings& processor : config.processors) processors.push_back(&processor);
  }

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

  // A pass ends with the worker's write of its next-update time: look at the store after each
  // write to it, and every poll interval in case the watch sees nothing.
  StoreWatch watch(config.storePath);
  std::atomic<bool> stopping{false};
  LogMonitor monitor(processors);
  std::vector<std::unique_ptr<ProcessorBlock>> blocks;
  for (Pass& pass : passes) {
    blocks.push_back(std::make_unique<ProcessorBlock>(pass.scratch, &stopping));
    pass.started = StartRepositoryUpdateThread(blocks.back()->config()) != 0;
    if (!pass.started) PrintError(pass.processor->Name() + ": cannot start the update worker");
  }

  const std::uint32_t timeoutSecs = line.timeoutSecs.value_or(kDefaultTimeoutSecs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSecs);
  int sig = 0;
  bool written = false;
  for (;;) {
    bool allEnded = true;
    for (Pass& pass : passes) {
      if (pass.started && !pass.ended) pass.ended = PassEnded(store, pass);
      allEnded = allEnded && (pass.ended || !pass.started);
    }
    if (allEnded) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      PrintError("no result within " + std::to_string(timeoutSecs) + " seconds; stopping");
      break;
    }
    if ((sig = WaitForStopSignal(written ? kRecheckInterval : kPollInterval, watch.fd())) ==
        SIGHUP) {
      ReopenLogOnHangup();
    } else if (sig != 0) {
      PrintError(std::string("interrupted by SIG") + sigabbrev_np(sig) + "; stopping");
      break;
    }
    written = watch.Drain();
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
    anyFailed = anyFailed || !succeeded;
    if (pass.started) {
      LogCycleOutcome(name, pass.processor->DisplayName(), succeeded, monitor.UpdatedFiles(i));
    }
    PrintLine(name + ": " + CycleOutcomeText(succeeded, monitor.UpdatedFiles(i)));
  }
  if (anyInvalid) return kExitInvalidDefinitions;
  return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace updater
