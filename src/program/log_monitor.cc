#include "program/log_monitor.h"

#include <cctype>
#include <string_view>

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

FileCounts LogMonitor::Files(std::size_t index) const {
  const Watch& watch = *watches_.at(index);
  return {watch.updatedFiles.load(), watch.restoredFiles.load()};
}

bool LogMonitor::InvalidDefinitionFiles(std::size_t index) const {
  return watches_.at(index)->invalidFiles.load();
}

namespace {

// The number at `at` in `text` (0 when there is none).
std::uint64_t CountAt(const std::string& text, std::size_t at) {
  std::uint64_t count = 0;
  for (std::size_t i = at; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    count = count * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return count;
}

// The start of the restore's operation entry in verified mode (update/verified_cycle.cc).
constexpr std::string_view kRestoredPrefix = "Restored ";

}  // namespace

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
      watch->updatedFiles.fetch_add(CountAt(detail, updatedPrefix_.size()));
      return;
    } else if (entry.first == watch->operationFirst && title == watch->integrityTitle &&
               detail.compare(0, kRestoredPrefix.size(), kRestoredPrefix) == 0) {
      watch->restoredFiles.fetch_add(CountAt(detail, kRestoredPrefix.size()));
      return;
    }
  }
}

}  // namespace updater
