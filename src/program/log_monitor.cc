#include "program/log_monitor.h"

#include <cctype>

#include "resources/messages.h"

namespace updater {

LogMonitor::LogMonitor(const std::vector<const ProcessorSettings*>& processors) {
  for (const ProcessorSettings* processor : processors) {
    auto watch = std::make_unique<Watch>();
    const std::string& display = processor->DisplayName();
    watch->operationFirst = processor->Text("operation_log_text");
    watch->errorFirst = processor->Text("error_log_text");
    watch->updatingTitle = FormatMessageId(IDS_UPDATING_DEFINITION_FILES, {display});
    watch->integrityTitle = FormatMessageId(IDS_CHECKING_INTEGRITY, {display});
    watch->invalidDetail = FormatMessageId(IDS_INVALID_DEFINITION_FILES, {display});
    watches_.push_back(std::move(watch));
  }
  const std::string_view updated = LoadMessage(IDS_UPDATED_FILES);
  updatedPrefix_ = std::string(updated.substr(0, updated.find("%1")));
  token_ = SubscribeLog([this](const LogEntry& entry) { OnEntry(entry); });
}

LogMonitor::~LogMonitor() {
  UnsubscribeLog(token_);
}

std::uint64_t LogMonitor::UpdatedFiles(std::size_t index) const {
  return watches_.at(index)->updatedFiles.load();
}

bool LogMonitor::InvalidDefinitionFiles(std::size_t index) const {
  return watches_.at(index)->invalidFiles.load();
}

void LogMonitor::OnEntry(const LogEntry& entry) {
  if (entry.texts.size() < 2) return;
  const std::string& title = entry.texts[0];
  const std::string& detail = entry.texts[1];
  for (const std::unique_ptr<Watch>& watch : watches_) {
    if (entry.error) {
      if (entry.first == watch->errorFirst && title == watch->integrityTitle &&
          detail == watch->invalidDetail) {
        watch->invalidFiles.store(true);
        return;
      }
    } else if (entry.first == watch->operationFirst && title == watch->updatingTitle &&
               detail.compare(0, updatedPrefix_.size(), updatedPrefix_) == 0) {
      std::uint64_t count = 0;
      for (std::size_t i = updatedPrefix_.size();
           i < detail.size() && std::isdigit(static_cast<unsigned char>(detail[i])); ++i) {
        count = count * 10 + static_cast<std::uint64_t>(detail[i] - '0');
      }
      watch->updatedFiles.fetch_add(count);
      return;
    }
  }
}

}  // namespace updater
