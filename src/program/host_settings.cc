#include "program/host_settings.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "host/mail_server.h"
#include "platform/internet/internet.h"
#include "program/console.h"
#include "program/program_log.h"
#include "program/property_store.h"
#include "service/verified_mode.h"
#include "update/own_names.h"
#include "update/repository_updates.h"

namespace updater {

namespace {

void ApplyNetworkSettings(const ProgramConfig& config) {
  SetLogCodeDescriber(DescribeErrorCode);
  InternetTimeouts timeouts = GetInternetTimeouts();
  if (config.connectTimeoutMs) timeouts.connectMs = *config.connectTimeoutMs;
  if (config.stallTimeoutMs) timeouts.stallMs = *config.stallTimeoutMs;
  if (config.minRateBytesPerS) timeouts.minRateBytesPerS = *config.minRateBytesPerS;
  SetInternetTimeouts(timeouts);
  if (config.maxFileSize) SetMaxFileSize(*config.maxFileSize);
  SetInternetCaFile(config.caFile.empty() ? nullptr : config.caFile.c_str());
}

}  // namespace

bool ApplyHostSettings(const ProgramConfig& config, std::string* error) {
  if (!UsePropertyStore(config, error)) return false;
  if (!config.logFile.empty()) {
    // A log file that cannot be opened sends the entries to stderr; a missing directory is
    // the one cause worth repairing.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(config.logFile).parent_path(),
                                        ignored);
  }
  ConfigureLog(config.logFormat, config.logFile.empty() ? nullptr : config.logFile.c_str());
  ApplyNetworkSettings(config);
  return true;
}

namespace {

// Tells the library the names of the program's own files, which no server may bring into a
// processor's directories: the lock file, the property store with the files SQLite keeps beside
// it, and the log file.
void ReserveProgramFileNames(const ProgramConfig& config) {
  ReserveOwnFileName(kLockFileName);
  const std::string store = std::filesystem::path(config.storePath).filename().string();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ReserveOwnFileName(store + suffix);
  if (!config.logFile.empty()) {
    ReserveOwnFileName(std::filesystem::path(config.logFile).filename().string());
  }
}

}  // namespace

bool WorkerHost::Open(const ProgramConfig& config,
                      const std::vector<const ProcessorSettings*>& processors) {
  ReserveProgramFileNames(config);
  std::string error;
  if (!ApplyHostSettings(config, &error) || !locks_.Acquire(processors, &error)) {
    PrintError(error);
    return false;
  }
  for (const ProcessorSettings* processor : processors) {
    ConfigureVerifiedMode(processor->Name().c_str(), VerifiedSettingsFor(*processor));
  }
  store_ = std::make_unique<PropertyStore>();
  if (!store_->IsOpen()) {
    PrintError("cannot open the property store " + config.storePath);
    return false;
  }
  return true;
}

void ApplyLookingSettings(const ProgramConfig& config) {
  ReserveProgramFileNames(config);
  ConfigureLog(config.logFormat, nullptr);
  ApplyNetworkSettings(config);
}

std::shared_ptr<VerifiedModeSettings> VerifiedSettingsFor(const ProcessorSettings& processor) {
  if (processor.publicKeys.empty()) return nullptr;
  auto verified = std::make_shared<VerifiedModeSettings>();
  verified->keys = processor.publicKeys;
  verified->maxSignatureAgeSecs = processor.Number("max_signature_age");
  return verified;
}

}  // namespace updater
