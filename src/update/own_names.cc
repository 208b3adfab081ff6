#include "update/own_names.h"

#include <strings.h>

#include <mutex>
#include <vector>

#include "platform/files.h"
#include "update/repository_updates.h"

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct ReservedNames {
  std::mutex mutex;
  std::vector<std::string> names;
};

ReservedNames& Reserved() {
  static ReservedNames reserved;
  return reserved;
}

}  // namespace

void ReserveOwnFileName(std::string_view name) {
  if (name.empty()) return;
  ReservedNames& reserved = Reserved();
  std::lock_guard<std::mutex> lock(reserved.mutex);
  reserved.names.emplace_back(name);
}

bool IsOwnFileName(std::string_view name, const UpdateConfig& config) {
  if (EqualIgnoringCase(name, TextOrEmpty(config.pendingFileName)) ||
      IsLeftoverTemporaryName(name, config)) {
    return true;
  }
  ReservedNames& reserved = Reserved();
  std::lock_guard<std::mutex> lock(reserved.mutex);
  for (const std::string& own : reserved.names) {
    if (EqualIgnoringCase(name, own)) return true;
  }
  return false;
}

std::string TriggerStagingName(std::string_view triggerName) {
  return "." + std::string(triggerName) + ".partial";
}

bool IsLeftoverTemporaryName(std::string_view name, const UpdateConfig& config) {
  return IsCopyTemporaryName(name) ||
         EqualIgnoringCase(name, TriggerStagingName(TextOrEmpty(config.triggerFileName)));
}
