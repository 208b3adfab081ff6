// The dry run of an update cycle: the road of RunPreparedCycle walked without writing, deleting
// or calling the host. Every decision comes from the same code the cycle runs (the choice of
// files, the backup copies' checks, the installation's test for a copy that changes nothing).
#include "update/cycle_plan.h"

#include <strings.h>

#include <set>
#include <string>
#include <vector>

#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"
#include "service/update_slot.h"
#include "update/install_copy.h"
#include "update/local_paths.h"
#include "update/own_names.h"
#include "update/repository_updates.h"

namespace {

constexpr const char* kInvalidTriggerFile =
    "the server's trigger file is not a valid checksum list";

}  // namespace

bool CRepositoryUpdates::ReadsListing() const {
  return false;
}

bool CRepositoryUpdates::ListedSize(const std::string&, std::uint64_t&) const {
  return false;
}

void CRepositoryUpdates::PlanCycle(CyclePlan& plan) {
  const UpdateConfig& config = Config();
  if (config.rootDirectory == nullptr || *config.rootDirectory == '\0') {
    plan.status = CyclePlan::Status::kFails;
    plan.reason = "no root directory is configured";
    return;
  }
  SetLocalDirectories(config.rootDirectory);
  m_strServer = ResolveServerName(config, m_mailServer);
  m_strRemoteDir = TextOrEmpty(config.remoteDirectory);
  m_strUserName = TextOrEmpty(config.userName);
  m_strPassword = TextOrEmpty(config.password);
  if (!Connect()) {
    plan.status = CyclePlan::Status::kCannotConnect;
    return;
  }
  PlanConnectedCycle(plan);
  Disconnect();
}

void CRepositoryUpdates::PlanConnectedCycle(CyclePlan& plan) {
  const char* triggerName = TextOrEmpty(Config().triggerFileName);
  const bool verified = m_pVerifiedMode != nullptr;
  plan.verified = verified;
  if (verified) {
    if (!VerifyAnnouncement()) {
      plan.status = CyclePlan::Status::kRefused;
      return;
    }
    plan.keyId = integrity::KeyIdText(m_pVerified->keyId);
    plan.signedVersion = m_pVerified->version;
    plan.installedVersion = KeptReference().version;
  }
  const bool pending = PendingFilePresent();
  if (!CheckForUpdates()) {
    if (verified) {
      PlanRestore(plan);
    } else {
      plan.promptAgain = pending;
    }
    return;
  }
  plan.newSet = true;
  if (!ParseServerTriggerFile()) {
    plan.status = CyclePlan::Status::kFails;
    plan.reason = kInvalidTriggerFile;
    return;
  }
  // As GetFilesToUpdate: a set the engine has not absorbed is not taken as installed.
  plan.startsAfresh = pending;
  CTriggerFileData local;
  if (m_pLocalTriggerFile != nullptr && !pending) {
    local.Parse(m_pLocalTriggerFile, m_nLocalTriggerFileSize);
  }
  CStringList list;
  ChooseFiles(local, list);
  if (verified && !CheckListedNames()) {
    plan.status = CyclePlan::Status::kRefused;
    return;
  }
  if (list.empty()) {
    if (verified) PlanRestore(plan);
    return;
  }
  PlanDownloads(plan, list);
  if (plan.WouldFail()) return;
  std::vector<std::string> setNames;
  for (const auto& [name, crc] : m_triggerData) {
    if (strcasecmp(name.c_str(), triggerName) != 0) setNames.push_back(name);
  }
  PlanInstallation(plan, setNames);
  plan.signal = true;
  PlanLeftFiles(plan, setNames);
}

void CRepositoryUpdates::PlanDownloads(CyclePlan& plan, const CStringList& list) {
  plan.sizesKnown = ReadsListing();
  for (const std::string& name : list) {
    if (!IsFetchableName(name)) {
      plan.refused.push_back(name);
      continue;
    }
    plan.fetch.push_back(name);
    std::uint64_t size = 0;
    if (!plan.sizesKnown) continue;
    if (ListedSize(name, size)) {
      plan.fetchBytes += size;
    } else {
      plan.notListed.push_back(name);
    }
  }
}

void CRepositoryUpdates::PlanInstallation(CyclePlan& plan,
                                          const std::vector<std::string>& setNames) {
  const UpdateConfig& config = Config();
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  const std::set<std::string> fetched(plan.fetch.begin(), plan.fetch.end());
  // The verified installation copies the set's names; the classic one the whole backup directory.
  std::set<std::string> candidates(setNames.begin(), setNames.end());
  if (m_pVerified == nullptr) {
    CStringList names;
    ListFiles(m_strBackupDir, "*", names);
    candidates = fetched;
    candidates.insert(names.begin(), names.end());
  }
  for (const std::string& name : candidates) {
    if (name == "." || name == ".." || strcasecmp(name.c_str(), triggerName) == 0 ||
        IsOwnFileName(name, config)) {
      continue;
    }
    if (fetched.count(name) != 0 ||
        !CopyWouldChangeNothing(JoinLocalPath(m_strBackupDir, name),
                                JoinLocalPath(m_strDefinitionsDir, name))) {
      plan.install.push_back(name);
    }
  }
}

void CRepositoryUpdates::PlanRestore(CyclePlan& plan) {
  const UpdateConfig& config = Config();
  std::vector<std::string> names;
  if (!VerifiedSetNames(names)) {
    plan.status = CyclePlan::Status::kFails;
    plan.reason = kInvalidTriggerFile;
    return;
  }
  if (!CheckListedNames(names)) {
    plan.status = CyclePlan::Status::kRefused;
    return;
  }
  CStringList fromServer;
  for (const std::string& name : names) {
    if (IsOwnFileName(name, config)) {
      plan.refused.push_back(name);  // RestoreVerifiedSet cannot put it back: the cycle fails
      continue;
    }
    integrity::Sha256Digest digest;
    std::uint64_t size = 0;
    if (integrity::Sha256OfFile(JoinLocalPath(m_strDefinitionsDir, name).c_str(), &digest, &size) &&
        m_pVerified->manifest.Check(name, digest).ok()) {
      continue;
    }
    plan.restore.push_back(name);
    if (!BackupCopyVerifies(name)) fromServer.push_back(name);
  }
  if (plan.restore.empty() && plan.refused.empty()) {
    plan.promptAgain = PendingFilePresent();
    return;
  }
  PlanDownloads(plan, fromServer);
  if (plan.WouldFail()) return;
  plan.signal = true;
  PlanLeftFiles(plan, names);
}

void CRepositoryUpdates::PlanLeftFiles(CyclePlan& plan, const std::vector<std::string>& setNames) {
  const UpdateConfig& config = Config();
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  std::set<std::string> kept(setNames.begin(), setNames.end());
  kept.insert(plan.install.begin(), plan.install.end());
  CStringList names;
  ListFiles(m_strDefinitionsDir, "*", names);
  for (const std::string& name : names) {
    if (name == "." || name == ".." || strcasecmp(name.c_str(), triggerName) == 0 ||
        IsOwnFileName(name, config) || kept.count(name) != 0) {
      continue;
    }
    plan.leave.push_back(name);
  }
}
