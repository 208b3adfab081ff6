// The library's configuration block for one configured processor, with every text it points to,
// and the host callbacks that run the processor's shell commands.
//
// The library keeps a pointer to the block and reads it from its worker thread until
// StopRepositoryUpdateThread has returned: a ProcessorBlock must outlive that call, and it is
// neither copied nor moved, so the block and its texts never change.
#ifndef FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_
#define FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "filerepository/filerepository.h"
#include "program/mirrors.h"
#include "program/program_config.h"
#include "program/property_store.h"

namespace updater {

class CycleReport;

// The property in each processor's section that holds 1 while the engine has not been told of an
// installed update because on_updates_available failed: the command then runs again at the next
// cycle, in place of on_nothing_to_absorb when that cycle finds nothing new, until it succeeds.
inline constexpr const char* kUpdatesAvailablePendingProperty = "UpdatesAvailablePending";

class ProcessorBlock {
 public:
  // `cancel`, when raised, ends a running callback command at once (counted as failed); the
  // service raises it when it is told to stop. `report`, when given, hears of the start of every
  // cycle, and tells a processor with mirrors that its last cycle failed; it must outlive
  // StopRepositoryUpdateThread. A processor with mirrors has the mirror of each cycle chosen
  // after its on_prepare command succeeded.
  ProcessorBlock(const ProcessorSettings& settings, const std::atomic<bool>* cancel,
                 CycleReport* report = nullptr);
  ~ProcessorBlock();
  ProcessorBlock(const ProcessorBlock&) = delete;
  ProcessorBlock& operator=(const ProcessorBlock&) = delete;

  UpdateConfig* config() { return &config_; }
  const ProcessorSettings& settings() const { return settings_; }
  // Whether the last cycle ran on a mirror chosen for it (its on_prepare command succeeded). Read
  // it once the worker has stopped.
  bool mirrorChosen() const { return mirrorChosen_; }

 private:
  static std::uint32_t Prepare(UpdateConfig* config);
  static std::uint32_t UpdatesAvailable(void* context);
  static std::uint32_t NothingToAbsorb(void* context);
  // 1 when the command of `key` exits with status 0, or when the key is absent; else 0, after
  // logging the command, how it ended and the last lines it wrote as an error entry.
  std::uint32_t RunHook(const char* event, const char* key);
  // Runs on_updates_available and remembers, in the store, whether the engine is still to be told.
  std::uint32_t AnnounceUpdates();
  bool AnnouncementPending();
  // The worker's own handle on the store: the callbacks run on the worker thread only.
  PropertyStore& Store();

  const ProcessorSettings settings_;
  const std::atomic<bool>* cancel_;
  CycleReport* report_;
  std::unique_ptr<PropertyStore> store_;
  std::optional<bool> announcementPending_;  // read from the store at first need
  std::optional<MirrorChoice> mirrors_;      // with more than one server address
  bool mirrorChosen_ = false;                // the last cycle ran on a chosen mirror
  bool moveOn_ = false;                      // it failed: the next cycle starts at the next mirror
  UpdateConfig config_{};
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_
