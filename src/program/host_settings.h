// Puts the configuration's process-wide settings in force before any update worker starts: the
// property store first, then the log and the internet layer's time limits and trust store.
#ifndef FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_
#define FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_

#include <memory>
#include <string>
#include <vector>

#include "program/processor_lock.h"
#include "program/program_config.h"
#include "program/property_store.h"
#include "service/verified_mode.h"

namespace updater {

bool ApplyHostSettings(const ProgramConfig& config, std::string* error);

// What a command that only looks (the dry run) needs in force: the library told of the program's
// own file names, the log on stderr in the configured format (the log file is the service's), and
// the internet layer's limits and trust store. Makes, opens and writes no file.
void ApplyLookingSettings(const ProgramConfig& config);

// A processor's verified-mode settings; null in the classic mode.
std::shared_ptr<VerifiedModeSettings> VerifiedSettingsFor(const ProcessorSettings& processor);

// What a command that starts update workers holds while they run: the process-wide settings in
// force, the root directories of its processors locked, and a handle on the property store.
class WorkerHost {
 public:
  // Sets all of that up, in that order; false after printing why it cannot be.
  bool Open(const ProgramConfig& config, const std::vector<const ProcessorSettings*>& processors);
  PropertyStore& store() { return *store_; }

 private:
  ProcessorLocks locks_;
  std::unique_ptr<PropertyStore> store_;
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_HOST_SETTINGS_H_
