#include "program/processor_block.h"

#include <chrono>
#include <string>

#include "program/cycle_report.h"
#include "program/program_log.h"
#include "program/shell_command.h"

namespace updater {
namespace {

// The members behind the words that the configuration names.
struct TextWord {
  int word;
  const char* UpdateConfig::*member;
};
constexpr TextWord kTextWords[] = {
    {0, &UpdateConfig::displayName},
    {1, &UpdateConfig::serverName},
    {2, &UpdateConfig::remoteDirectory},
    {3, &UpdateConfig::userName},
    {4, &UpdateConfig::password},
    {5, &UpdateConfig::processorName},
    {6, &UpdateConfig::integrityCheckProperty},
    {7, &UpdateConfig::serverNameProperty},
    {9, &UpdateConfig::updateIntervalProperty},
    {10, &UpdateConfig::passiveFtpProperty},
    {11, &UpdateConfig::lastUpdateTimeProperty},
    {12, &UpdateConfig::nextUpdateTimeProperty},
    {13, &UpdateConfig::updateNowProperty},
    {14, &UpdateConfig::triggerFileTimeProperty},
    {15, &UpdateConfig::installedFilesProperty},
    {16, &UpdateConfig::defaultServerName},
    {23, &UpdateConfig::errorLogText},
    {24, &UpdateConfig::operationLogText},
    {31, &UpdateConfig::rootDirectory},
    {32, &UpdateConfig::definitionsDirectory},
    {33, &UpdateConfig::backupDirectory},
    {34, &UpdateConfig::masterDirectory},
    {35, &UpdateConfig::triggerFileName},
    {36, &UpdateConfig::pendingFileName},
    {37, &UpdateConfig::extensions},
};

struct NumberWord {
  int word;
  std::uint32_t UpdateConfig::*member;
};
constexpr NumberWord kNumberWords[] = {
    {17, &UpdateConfig::defaultUpdateInterval},
    {18, &UpdateConfig::defaultPassiveFtp},
    {19, &UpdateConfig::defaultIntegrityCheck},
    {20, &UpdateConfig::integrityCheckOffValue},
    {21, &UpdateConfig::errorEventId},
    {22, &UpdateConfig::operationEventId},
    {25, &UpdateConfig::minUpdateInterval},
    {26, &UpdateConfig::maxUpdateInterval},
    {27, &UpdateConfig::retryInterval},
    {28, &UpdateConfig::maxRetryInterval},
    {29, &UpdateConfig::waitStepMs},
    {30, &UpdateConfig::probeTimeoutMs},
    {38, &UpdateConfig::downloadRetries},
};

}  // namespace

ProcessorBlock::ProcessorBlock(const ProcessorSettings& settings, const std::atomic<bool>* cancel,
                               CycleReport* report)
    : settings_(settings), cancel_(cancel), report_(report) {
  // Keys the file leaves out and that have no default leave their word null.
  for (const ProcessorKey& key : ProcessorKeys()) {
    for (const NumberWord& entry : kNumberWords) {
      if (entry.word == key.word) config_.*entry.member = settings_.Number(key.key);
    }
    for (const TextWord& entry : kTextWords) {
      const std::string* text = settings_.FindText(key.key);
      if (entry.word == key.word && text != nullptr) config_.*entry.member = text->c_str();
    }
  }
  // Word 39 is never read by the library: it leads the preparation hook back to this object.
  config_.reserved39 = this;
  if (HasMirrors(settings_)) mirrors_.emplace(settings_);
  if (settings_.FindText("on_prepare") != nullptr || report_ != nullptr || mirrors_) {
    config_.prepare = Prepare;
  }
  if (settings_.FindText("on_updates_available") != nullptr) {
    config_.updatesAvailable = UpdatesAvailable;
  }
  config_.nothingToAbsorb = NothingToAbsorb;  // required by the library; absent command: 1
  config_.updatesAvailableContext = this;
  config_.nothingToAbsorbContext = this;
}

ProcessorBlock::~ProcessorBlock() = default;

std::uint32_t ProcessorBlock::Prepare(UpdateConfig* config) {
  auto* self = static_cast<ProcessorBlock*>(config->reserved39);
  if (self->report_ != nullptr) {
    const std::optional<CycleFacts> last = self->report_->LastCycle();
    if (self->mirrorChosen_ && last && !last->succeeded) self->moveOn_ = true;
    self->report_->CycleStarting();
  }
  self->mirrorChosen_ = false;
  if (self->RunHook("prepare", "on_prepare") == 0) return 0;
  if (self->mirrors_) {
    // The worker reads the server word after this returns, on this thread; the address is a
    // text of this object's own settings, so it stays valid for as long as the block does.
    config->serverName =
        self->mirrors_->Choose(self->Store(), self->moveOn_, self->cancel_).c_str();
    self->mirrorChosen_ = true;
    self->moveOn_ = false;
  }
  return 1;
}

std::uint32_t ProcessorBlock::UpdatesAvailable(void* context) {
  return static_cast<ProcessorBlock*>(context)->AnnounceUpdates();
}

std::uint32_t ProcessorBlock::NothingToAbsorb(void* context) {
  auto* self = static_cast<ProcessorBlock*>(context);
  if (self->AnnouncementPending()) {
    LogProgramOperation(kEventCallbackRetried, self->settings_.Name(),
                        {"on_updates_available runs again",
                         "it failed after the last installed update, so the engine has not "
                         "been told of it"});
    return self->AnnounceUpdates();
  }
  return self->RunHook("nothing_to_absorb", "on_nothing_to_absorb");
}

std::uint32_t ProcessorBlock::AnnounceUpdates() {
  const std::uint32_t result = RunHook("updates_available", "on_updates_available");
  const bool pending = result == 0;
  if (AnnouncementPending() != pending) {
    Store().SetNumber(settings_.Name(), kUpdatesAvailablePendingProperty, pending ? 1 : 0);
  }
  announcementPending_ = pending;
  return result;
}

bool ProcessorBlock::AnnouncementPending() {
  if (settings_.FindText("on_updates_available") == nullptr) return false;
  if (!announcementPending_) {
    announcementPending_ =
        Store().GetNumber(settings_.Name(), kUpdatesAvailablePendingProperty).value_or(0) != 0;
  }
  return *announcementPending_;
}

PropertyStore& ProcessorBlock::Store() {
  if (store_ == nullptr) store_ = std::make_unique<PropertyStore>();
  return *store_;
}

std::uint32_t ProcessorBlock::RunHook(const char* event, const char* key) {
  const std::string* command = settings_.FindText(key);
  if (command == nullptr) return 1;
  const EnvironmentVariables variables = {
      {"REPOSITORY_UPDATER_EVENT", event},
      {"REPOSITORY_UPDATER_PROCESSOR", settings_.Name()},
      {"REPOSITORY_UPDATER_DISPLAY_NAME", settings_.DisplayName()},
      {"REPOSITORY_UPDATER_ROOT_DIR", settings_.RootDir()},
      {"REPOSITORY_UPDATER_DEFINITIONS_DIR", settings_.DefinitionsDir()},
      {"REPOSITORY_UPDATER_BACKUP_DIR", settings_.BackupDir()},
      {"REPOSITORY_UPDATER_MASTER_DIR", settings_.MasterDir()},
      {"REPOSITORY_UPDATER_TRIGGER_FILE", settings_.Text("trigger_file")},
  };
  const auto limit = std::chrono::milliseconds(settings_.Number("callback_timeout_ms"));
  const CommandResult result = RunShellCommand(*command, variables, limit, cancel_);
  if (result.outcome == CommandOutcome::kSucceeded) return 1;
  std::string title = std::string(key) + " failed";
  if (std::string_view(key) == "on_updates_available") {
    title += "; it runs again at the next cycle";
  }
  std::vector<std::string> texts = {title, *command, DescribeCommandResult(result, limit)};
  if (!result.lastLines.empty()) texts.push_back(result.lastLines);
  LogProgramError(kEventCallbackFailed, settings_.Name(), texts);
  return 0;
}

}  // namespace updater
