#include "program/cycle_report.h"

#include <strings.h>

#include "host/mail_server.h"
#include "program/program_log.h"

namespace updater {
namespace {

// Sections and property names compare without regard to case, as the store does.
bool SameName(const char* a, const std::string& b) {
  return a != nullptr && strcasecmp(a, b.c_str()) == 0;
}

}  // namespace

CycleReport::CycleReport(const ProcessorSettings& processor, const LogMonitor& monitor,
                         std::size_t index)
    : processor_(processor), monitor_(monitor), index_(index) {
  subscription_ = SubscribePropertyWrites(
      [this](const char* section, const char* name) { PropertyWritten(section, name); });
}

CycleReport::~CycleReport() {
  UnsubscribePropertyWrites(subscription_);
}

void CycleReport::CycleStarting() {
  std::lock_guard lock(mutex_);
  running_ = true;
  succeeded_ = false;
  filesBefore_ = monitor_.Files(index_);
}

void CycleReport::PropertyWritten(const char* section, const char* name) {
  if (!SameName(section, processor_.Name())) return;
  std::lock_guard lock(mutex_);
  if (!running_) return;
  if (SameName(name, processor_.Text("last_update_property"))) {
    succeeded_ = true;
  } else if (SameName(name, processor_.Text("next_update_property"))) {
    running_ = false;
    LogCycleOutcome(processor_.Name(), processor_.DisplayName(), succeeded_,
                    monitor_.Files(index_) - filesBefore_);
  }
}

}  // namespace updater
