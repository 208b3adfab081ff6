// The exclusive lock a `run` or `once` holds on each processor's root directory, so that a second
// service or a `once` on the same directories refuses instead of racing the first.
#ifndef FILEREPOSITORY_PROGRAM_PROCESSOR_LOCK_H_
#define FILEREPOSITORY_PROGRAM_PROCESSOR_LOCK_H_

#include <map>
#include <string>
#include <vector>

#include "program/program_config.h"

namespace updater {

// The lock file's name in the root directory.
inline constexpr const char* kLockFileName = ".repository-updater.lock";

// flock() locks on the lock files of a set of processors, held until destruction. The lock files
// are opened close-on-exec, so callback commands (and what they leave running) never hold them.
class ProcessorLocks {
 public:
  ProcessorLocks() = default;
  ~ProcessorLocks();
  ProcessorLocks(const ProcessorLocks&) = delete;
  ProcessorLocks& operator=(const ProcessorLocks&) = delete;

  // Locks the root directory of every processor, making missing root directories. Processors
  // that share a root directory share its lock. False with `error` set when one cannot be locked
  // (every lock taken by this call is then released).
  bool Acquire(const std::vector<const ProcessorSettings*>& processors, std::string* error);

 private:
  std::map<std::string, int> descriptors_;  // canonical root directory -> lock file
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROCESSOR_LOCK_H_
