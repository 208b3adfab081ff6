#include "support/test_config.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/process.h"

namespace testing_support {

TestConfig::TestConfig(const std::string& processor, const std::string& root)
    : processor_(processor), root_(root) {
  SetText(&UpdateConfig::displayName, (processor + " Display").c_str());
  SetText(&UpdateConfig::serverName, "127.0.0.1");
  SetText(&UpdateConfig::remoteDirectory, "updates");
  SetText(&UpdateConfig::userName, "updater");
  SetText(&UpdateConfig::password, "s3cret-pass");
  SetText(&UpdateConfig::processorName, processor.c_str());
  SetText(&UpdateConfig::integrityCheckProperty, "IntegrityCheck");
  SetText(&UpdateConfig::serverNameProperty, "UpdateServer");
  SetText(&UpdateConfig::updateIntervalProperty, "UpdateInterval");
  SetText(&UpdateConfig::passiveFtpProperty, "PassiveFtp");
  SetText(&UpdateConfig::lastUpdateTimeProperty, "LastUpdateTime");
  SetText(&UpdateConfig::nextUpdateTimeProperty, "NextUpdateTime");
  SetText(&UpdateConfig::updateNowProperty, "UpdateNow");
  SetText(&UpdateConfig::triggerFileTimeProperty, "TriggerFileTime");
  SetText(&UpdateConfig::installedFilesProperty, "InstalledFiles");
  SetText(&UpdateConfig::defaultServerName, "127.0.0.1");
  config_.defaultUpdateInterval = 3600;
  config_.defaultPassiveFtp = 1;
  config_.defaultIntegrityCheck = 1;
  config_.integrityCheckOffValue = 0;
  config_.errorEventId = 3001;
  config_.operationEventId = 3002;
  SetText(&UpdateConfig::errorLogText, (processor + "-error").c_str());
  SetText(&UpdateConfig::operationLogText, (processor + "-operation").c_str());
  config_.minUpdateInterval = 1;
  config_.maxUpdateInterval = 86400;
  config_.retryInterval = 60;
  config_.maxRetryInterval = 3600;
  config_.waitStepMs = 1000;
  config_.probeTimeoutMs = 5000;
  SetText(&UpdateConfig::rootDirectory, root.c_str());
  SetText(&UpdateConfig::definitionsDirectory, "definitions");
  SetText(&UpdateConfig::masterDirectory, "definitions");
  SetText(&UpdateConfig::triggerFileName, "trigger.crc");
  SetText(&UpdateConfig::pendingFileName, "pending.flag");
  SetText(&UpdateConfig::extensions, "dat,cfg");
  config_.downloadRetries = 2;
  config_.reserved39 = &callbacks_;  // the preparation hook finds its log here
  config_.prepare = [](UpdateConfig* config) {
    auto* log = static_cast<CallbackLog*>(config->reserved39);
    return ++log->prepareCalls, log->prepareResult.load();
  };
  config_.updatesAvailable = [](void* context) {
    auto* log = static_cast<CallbackLog*>(context);
    return ++log->updatesAvailableCalls, log->updatesAvailableResult.load();
  };
  config_.nothingToAbsorb = [](void* context) {
    auto* log = static_cast<CallbackLog*>(context);
    return ++log->nothingToAbsorbCalls, log->nothingToAbsorbResult.load();
  };
  config_.updatesAvailableContext = &callbacks_;
  config_.nothingToAbsorbContext = &callbacks_;
  server_ = OpenMailServer(0);
  if (server_ == nullptr) throw std::runtime_error("cannot open the property store");
}

TestConfig::~TestConfig() {
  CloseMailServer(server_);
}

void TestConfig::SetText(const char* UpdateConfig::*word, const char* value) {
  config_.*word = value == nullptr ? nullptr : texts_.emplace_back(value).c_str();
}

void TestConfig::SetDword(const char* name, std::uint32_t value, bool untyped) {
  if (!SetMailServerProperty(server_, processor_.c_str(),
                             untyped ? PROPERTY_TYPE_UNTYPED : PROPERTY_TYPE_DWORD, name, &value,
                             sizeof(value))) {
    throw std::runtime_error(std::string("cannot set ") + name);
  }
}

bool TestConfig::GetDword(const char* name, std::uint32_t* value) {
  DWORD size = sizeof(*value);
  DWORD type = 0;
  return GetMailServerProperty(server_, processor_.c_str(), name, value, &size, &type) != 0;
}

bool TestConfig::WaitForDwordOtherThan(const char* name, std::uint32_t unlike, std::uint32_t* value,
                                       std::chrono::milliseconds limit) {
  return PollUntil([&] { return GetDword(name, value) && *value != unlike; }, limit);
}

void TestConfig::SetString(const char* name, const std::string& value, bool untyped) {
  if (!SetMailServerProperty(server_, processor_.c_str(),
                             untyped ? PROPERTY_TYPE_UNTYPED : PROPERTY_TYPE_TEXT, name,
                             value.c_str(), static_cast<DWORD>(value.size() + 1))) {
    throw std::runtime_error(std::string("cannot set ") + name);
  }
}

bool TestConfig::GetString(const char* name, std::string* value) {
  std::vector<char> buffer(1 << 20);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = 0;
  if (!GetMailServerProperty(server_, processor_.c_str(), name, buffer.data(), &size, &type)) {
    return false;
  }
  value->assign(buffer.data(), strnlen(buffer.data(), size));
  return true;
}

}  // namespace testing_support
