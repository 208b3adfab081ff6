// The choice among a processor's mirrors, when its `server` is a list of addresses.
//
// Before each cycle the preparation callback asks for the address the cycle uses and points the
// configuration block's server word at it. The addresses are probed in order, starting with the
// mirror in use, and the first that accepts a connection within a short limit serves the cycle:
// so a processor stays on a mirror while it works, and after a failed cycle starts with the next
// one. The mirror in use is kept in the processor's property `MirrorInUse`, where `status` shows
// it, the next `once` starts from it, and an administrator may set it to steer the updater.
#ifndef FILEREPOSITORY_PROGRAM_MIRRORS_H_
#define FILEREPOSITORY_PROGRAM_MIRRORS_H_

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "program/program_config.h"
#include "program/property_store.h"

namespace updater {

inline constexpr const char* kMirrorInUseProperty = "MirrorInUse";

// The longest wait for one mirror's answer (or `probe_timeout_ms`, when that is shorter): a
// mirror that does not answer costs each cycle this much before the next one is tried.
inline constexpr std::uint32_t kMirrorProbeLimitMs = 2000;

// Whether the processor names more than one address, and so has mirrors to choose from.
inline bool HasMirrors(const ProcessorSettings& processor) {
  return processor.servers.size() > 1;
}

// The index of the address that `named` (the property's value) gives, if it is one of the
// processor's; else 0, the first address.
std::size_t MirrorInUse(const ProcessorSettings& processor,
                        const std::optional<std::string>& named);

// Chooses the mirror of each cycle of one processor. Used on its worker thread only.
class MirrorChoice {
 public:
  explicit MirrorChoice(const ProcessorSettings& processor) : processor_(processor) {}

  // The address the coming cycle uses: one of `processor.servers`, which outlives this object.
  // `moveOn` (the last cycle on the mirror in use failed) starts the probes at the next mirror.
  // When none answers, the cycle tries the first probed, whose failure the library logs. A
  // raised `cancel` ends the probes. Logs the choice, and records it in the store.
  const std::string& Choose(PropertyStore& store, bool moveOn, const std::atomic<bool>* cancel);

 private:
  const ProcessorSettings& processor_;
};

// After a failed cycle of `once`: records the mirror after the one in use, so that the next run
// starts there, as a running service would. Nothing for a processor without mirrors.
void MoveToNextMirror(PropertyStore& store, const ProcessorSettings& processor);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_MIRRORS_H_
