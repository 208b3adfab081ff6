#include "program/processor_block.h"

#include <chrono>
#include <string>

#include "program/console.h"
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

ProcessorBlock::ProcessorBlock(const ProcessorSettings& settings, const std::atomic<bool>* cancel)
    : settings_(settings), cancel_(cancel) {
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
  if (settings_.FindText("on_prepare") != nullptr) config_.prepare = Prepare;
  if (settings_.FindText("on_updates_available") != nullptr) {
    config_.updatesAvailable = UpdatesAvailable;
  }
  config_.nothingToAbsorb = NothingToAbsorb;  // required by the library; absent command: 1
  config_.updatesAvailableContext = this;
  config_.nothingToAbsorbContext = this;
}

std::uint32_t ProcessorBlock::Prepare(UpdateConfig* config) {
  return static_cast<const ProcessorBlock*>(config->reserved39)->RunHook("prepare", "on_prepare");
}

std::uint32_t ProcessorBlock::UpdatesAvailable(void* context) {
  return static_cast<const ProcessorBlock*>(context)->RunHook("updates_available",
                                                              "on_updates_available");
}

std::uint32_t ProcessorBlock::NothingToAbsorb(void* context) {
  return static_cast<const ProcessorBlock*>(context)->RunHook("nothing_to_absorb",
                                                              "on_nothing_to_absorb");
}

std::uint32_t ProcessorBlock::RunHook(const char* event, const char* key) const {
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
  const CommandOutcome outcome = RunShellCommand(*command, variables, limit, cancel_);
  const char* problem = nullptr;
  switch (outcome) {
    case CommandOutcome::kSucceeded:
      return 1;
    case CommandOutcome::kFailed:
      return 0;
    case CommandOutcome::kTimedOut:
      problem = "did not finish within the callback time limit and was killed";
      break;
    case CommandOutcome::kCancelled:
      problem = "was killed because the service is stopping";
      break;
    case CommandOutcome::kNotStarted:
      problem = "could not be started (/bin/sh)";
      break;
  }
  PrintError(settings_.Name() + ": " + key + " " + problem);
  return 0;
}

}  // namespace updater
