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

namespace updater {

bool ApplyHostSettings(const ProgramConfig& config, std::string* error);

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
