// The steps of a cycle in verified mode: the signed manifest fetched and checked before any file
// is chosen, the installation of the verified set, the restore of installed files that differ
// from it, and the reference kept for the integrity check.
#include <strings.h>
#include <sys/stat.h>

#include <array>
#include <charconv>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "host/utility.h"
#include "integrity/sha256.h"
#include "platform/files.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/install_copy.h"
#include "update/local_paths.h"
#include "update/own_names.h"
#include "update/repository_updates.h"

using integrity::Outcome;
using integrity::Verdict;

namespace {

// The names of the publisher's files beside the trigger file.
std::string ManifestName(const std::string& triggerName) {
  return triggerName + ".sha256";
}
std::string SignatureName(const std::string& triggerName) {
  return triggerName + ".sha256.minisig";
}

// The names an entry lists are cut here; the count is always given.
constexpr std::size_t kListedNamesLimit = 2000;

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (text.size() > kListedNamesLimit) {
      text += ", ...";
      break;
    }
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

}  // namespace

BOOL CRepositoryUpdates::FetchSigningFile(const std::string&, std::uint64_t, std::string&) {
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

void CRepositoryUpdates::LogRefusal(const std::string& file, const Outcome& outcome) {
  LogError(Config().errorEventId,
           {FormatMessageId(IDS_UPDATING_FILE, {m_strRemoteDir + "/" + file}),
            std::string(integrity::VerdictName(outcome.verdict)) + ": " + outcome.detail});
}

VerifiedReference& CRepositoryUpdates::KeptReference() {
  VerifiedReference& kept = m_pSlot->m_verifiedReference;
  if (m_pSlot->m_verifiedReferenceLoaded) return kept;
  const UpdateConfig& config = Config();
  kept = VerifiedReference();
  std::string version;
  std::string files;
  if (GetStringPropertyOrEmpty(m_mailServer, config.processorName,
                               m_pVerifiedMode->versionProperty.c_str(), version) &&
      GetStringPropertyOrEmpty(m_mailServer, config.processorName,
                               m_pVerifiedMode->referenceProperty.c_str(), files)) {
    const auto [end, error] =
        std::from_chars(version.data(), version.data() + version.size(), kept.version);
    // A reference that does not read back whole is no reference: the classic check runs until
    // the next verified set is recorded.
    if (error != std::errc() || end != version.data() + version.size() ||
        !kept.DecodeFiles(files)) {
      kept = VerifiedReference();
    }
  }
  m_pSlot->m_verifiedReferenceLoaded = true;
  return kept;
}

BOOL CRepositoryUpdates::VerifyAnnouncement() {
  const UpdateConfig& config = Config();
  const std::string triggerName = TextOrEmpty(config.triggerFileName);
  const std::string manifestName = ManifestName(triggerName);
  const std::string signatureName = SignatureName(triggerName);

  std::string manifest;
  std::string signature;
  for (const auto& [name, limit, content, malformed] :
       {std::tuple{&manifestName, integrity::kMaxManifestBytes, &manifest,
                   Verdict::kMalformedManifest},
        std::tuple{&signatureName, integrity::kMaxSignatureFileBytes, &signature,
                   Verdict::kMalformedSignature}}) {
    if (FetchSigningFile(*name, limit, *content)) continue;
    const DWORD cause = GetLastError();
    if (cause == ERROR_NOT_ENOUGH_MEMORY) {
      LogRefusal(*name, {malformed, "the server gives it as larger than the limit of " +
                                        std::to_string(limit) + " bytes"});
    } else {
      LogRefusal(*name, {Verdict::kNoSignature,
                         cause == ERROR_FILE_NOT_FOUND
                             ? "the server has no " + *name + ": the set is not signed"
                             : *name + " could not be fetched (" + std::to_string(cause) + ")"});
    }
    return FALSE;
  }

  integrity::Checked<integrity::VerifiedManifest> verified =
      integrity::VerifyManifest(manifest, signature, m_pVerifiedMode->keys);
  if (!verified.ok()) {
    const bool aboutManifest = verified.outcome.verdict == Verdict::kMalformedManifest;
    LogRefusal(aboutManifest ? manifestName : signatureName, verified.outcome);
    return FALSE;
  }
  const Outcome version = integrity::CheckVersion(verified.value.version, KeptReference().version);
  if (!version.ok()) {
    LogRefusal(manifestName, version);
    return FALSE;
  }
  const Outcome trigger = verified.value.manifest.Check(
      triggerName, integrity::Sha256OfBuffer(m_pRemoteTriggerFile, m_nRemoteTriggerFileSize));
  if (!trigger.ok()) {
    LogRefusal(triggerName, trigger);
    return FALSE;
  }

  // A server stuck on an old set still serves a validly signed one; only its age tells. Logged
  // as an error, though the cycle goes on: it calls for the administrator, not for a retry.
  const std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  const std::uint64_t maxAge = m_pVerifiedMode->maxSignatureAgeSecs;
  if (maxAge != 0 && now > verified.value.version && now - verified.value.version > maxAge) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_UPDATING_FILE, {m_strRemoteDir + "/" + signatureName}),
              "The signed set is " + std::to_string(now - verified.value.version) +
                  " seconds old, older than max_signature_age (" + std::to_string(maxAge) +
                  " seconds): the server may be stuck on an old set."});
  }
  m_pVerified = std::make_unique<integrity::VerifiedManifest>(std::move(verified.value));
  return TRUE;
}

BOOL CRepositoryUpdates::CheckListedNames() {
  std::vector<std::string> names;
  for (const auto& [name, crc] : m_triggerData) names.push_back(name);
  return CheckListedNames(names);
}

BOOL CRepositoryUpdates::CheckListedNames(const std::vector<std::string>& names) {
  const std::string manifestName = ManifestName(TextOrEmpty(Config().triggerFileName));
  for (const std::string& name : names) {
    if (m_pVerified->manifest.Find(name) != nullptr) continue;
    LogRefusal(manifestName,
               {Verdict::kNotInManifest, "\"" + name +
                                             "\", listed in the trigger file, is not in the "
                                             "manifest"});
    return FALSE;
  }
  return TRUE;
}

bool CRepositoryUpdates::VerifiedSetNames(std::vector<std::string>& names) {
  const char* triggerName = TextOrEmpty(Config().triggerFileName);
  CTriggerFileData parsed;
  if (!parsed.Parse(m_pRemoteTriggerFile, m_nRemoteTriggerFileSize)) return false;
  for (const auto& [name, crc] : parsed) {
    if (strcasecmp(name.c_str(), triggerName) != 0) names.push_back(name);
  }
  return true;
}

namespace {

// What identifies the bytes of a file written once: device, inode, size and modification time.
// A write changes the time, and a file put in its place has another inode.
bool FileIdentity(const std::string& path, std::array<std::int64_t, 5>* identity) {
  struct stat status;
  if (PosixCalls().lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  *identity = {static_cast<std::int64_t>(status.st_dev), static_cast<std::int64_t>(status.st_ino),
               static_cast<std::int64_t>(status.st_size), status.st_mtim.tv_sec,
               status.st_mtim.tv_nsec};
  return true;
}

}  // namespace

void CRepositoryUpdates::RememberVerifiedWrite(const std::string& path) {
  std::array<std::int64_t, 5> identity;
  if (FileIdentity(path, &identity)) m_verifiedWrites[path] = identity;
}

bool CRepositoryUpdates::BackupCopyVerifies(const std::string& name) {
  if (m_pVerified == nullptr) return true;
  const std::string path = JoinLocalPath(m_strBackupDir, name);
  const auto written = m_verifiedWrites.find(path);
  std::array<std::int64_t, 5> identity;
  if (written != m_verifiedWrites.end() && FileIdentity(path, &identity) &&
      identity == written->second) {
    m_verifiedSizes[name] = static_cast<std::uint64_t>(identity[2]);
    return true;
  }
  integrity::Sha256Digest digest;
  std::uint64_t size = 0;
  if (!integrity::Sha256OfFile(path.c_str(), &digest, &size)) return false;
  if (!m_pVerified->manifest.Check(name, digest).ok()) return false;
  m_verifiedSizes[name] = size;
  return true;
}

bool CRepositoryUpdates::InstallVerifiedFile(const std::string& name) {
  const UpdateConfig& config = Config();
  const std::string source = JoinLocalPath(m_strBackupDir, name);
  const std::string target = JoinLocalPath(m_strDefinitionsDir, name);
  if (!BackupCopyVerifies(name)) {
    // Changed in the backup directory since its download was checked: never installed.
    LogError(config.errorEventId,
             {FormatMessageId(IDS_COPY_FILE_TO_DIRECTORY, {source, m_strDefinitionsDir}),
              std::string(integrity::VerdictName(Verdict::kDigestMismatch)) + ": \"" + name +
                  "\" in the backup directory no longer has the SHA-256 of the manifest"});
    return false;
  }
  if (CopyWouldChangeNothing(source, target)) return true;
  if (!CopyFileA(source.c_str(), target.c_str(), FALSE)) {
    const std::string detail = std::to_string(GetLastError());
    LogError(config.errorEventId,
             {FormatMessageId(IDS_COPY_FILE_TO_DIRECTORY, {source, m_strDefinitionsDir}), detail});
    return false;
  }
  return true;
}

BOOL CRepositoryUpdates::InstallVerifiedFiles() {
  const UpdateConfig& config = Config();
  // As in the classic installation: the engine's signal is withdrawn while the set changes.
  DeleteFileA(JoinLocalPath(m_strDefinitionsDir, TextOrEmpty(config.triggerFileName)).c_str());
  std::vector<std::string> names;
  VerifiedSetNames(names);  // it parsed in GetFilesToUpdate
  DWORD failures = 0;
  for (const std::string& name : names) {
    if (IsOwnFileName(name, config) || !InstallVerifiedFile(name)) ++failures;
  }
  if (failures == 0) m_bVerifiedSetChanged = true;
  return failures == 0 ? TRUE : FALSE;
}

BOOL CRepositoryUpdates::RestoreVerifiedSet(BOOL& restored) {
  const UpdateConfig& config = Config();
  const char* display = TextOrEmpty(config.displayName);
  restored = FALSE;
  std::vector<std::string> names;
  if (!VerifiedSetNames(names)) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_UPDATING_FILE, {TextOrEmpty(config.triggerFileName)}),
              std::to_string(ERROR_INVALID_DATA)});
    return FALSE;
  }
  if (!CheckListedNames(names)) return FALSE;
  std::vector<std::string> differing;
  for (const std::string& name : names) {
    const std::string path = JoinLocalPath(m_strDefinitionsDir, name);
    integrity::Sha256Digest digest;
    std::uint64_t size = 0;
    if (integrity::Sha256OfFile(path.c_str(), &digest, &size) &&
        m_pVerified->manifest.Check(name, digest).ok() && !IsOwnFileName(name, config)) {
      m_verifiedSizes[name] = size;
    } else {
      differing.push_back(name);
    }
  }
  if (differing.empty()) return TRUE;

  // Every file the server's set needs is to be put back: withdraw the engine's signal meanwhile.
  DeleteFileA(JoinLocalPath(m_strDefinitionsDir, TextOrEmpty(config.triggerFileName)).c_str());
  FileStatus status;
  for (const std::string* directory : {&m_strDefinitionsDir, &m_strBackupDir}) {
    if (!GetFileStatus(directory->c_str(), &status)) CreateDirectoryPath(directory->c_str());
  }
  CStringList fetch;
  for (const std::string& name : differing) {
    if (!BackupCopyVerifies(name)) fetch.push_back(name);
  }
  BOOL result = fetch.empty() ? TRUE : FetchFiles(fetch);
  DWORD failures = 0;
  if (result) {
    for (const std::string& name : differing) {
      if (IsOwnFileName(name, config) || !InstallVerifiedFile(name)) ++failures;
    }
  }
  if (!result || failures != 0) {
    LogError(config.errorEventId,
             {FormatMessageId(IDS_CHECKING_INTEGRITY, {display}),
              "Could not restore the installed files that differ from the verified set (" +
                  std::to_string(differing.size()) + "): " + JoinNames(differing)});
    return FALSE;
  }
  LogOperation(
      config.operationEventId,
      {FormatMessageId(IDS_CHECKING_INTEGRITY, {display}),
       "Restored " + std::to_string(differing.size()) +
           " installed files that differed from the verified set: " + JoinNames(differing)});
  m_bVerifiedSetChanged = true;
  restored = TRUE;
  return WriteTriggerFiles();
}

void CRepositoryUpdates::SaveVerifiedReference() {
  if (m_pVerified == nullptr) return;
  std::vector<std::string> names;
  if (!VerifiedSetNames(names)) return;
  VerifiedReference reference;
  reference.version = m_pVerified->version;
  for (const std::string& name : names) {
    const auto size = m_verifiedSizes.find(name);
    const integrity::Sha256Digest* digest = m_pVerified->manifest.Find(name);
    // A file this run neither installed nor compared: the set is not known whole, keep the old.
    if (size == m_verifiedSizes.end() || digest == nullptr) return;
    reference.files[name] = {*digest, size->second};
  }
  VerifiedReference& kept = KeptReference();
  if (!m_bVerifiedSetChanged && reference == kept) return;
  const UpdateConfig& config = Config();
  const std::string version = std::to_string(reference.version);
  const std::string files = reference.Encode();
  // The files first: a version without its files is never read as a reference of the new set.
  const bool saved = SetMailServerProperty(m_mailServer, config.processorName, PROPERTY_TYPE_TEXT,
                                           m_pVerifiedMode->referenceProperty.c_str(),
                                           files.c_str(), static_cast<DWORD>(files.size() + 1)) &&
                     SetMailServerProperty(m_mailServer, config.processorName, PROPERTY_TYPE_TEXT,
                                           m_pVerifiedMode->versionProperty.c_str(),
                                           version.c_str(), static_cast<DWORD>(version.size() + 1));
  if (!saved) {
    const std::string detail = std::to_string(GetLastError());
    LogError(config.errorEventId, {FormatMessageId(IDS_FAILED_TO_UPDATE_CONFIGURATION,
                                                   {TextOrEmpty(config.displayName)}),
                                   detail});
  }
  kept = std::move(reference);
}

DWORD CRepositoryUpdates::CheckVerifiedFiles(const std::string& master) {
  const UpdateConfig& config = Config();
  const std::string extensions = TextOrEmpty(config.extensions);
  const char* triggerName = TextOrEmpty(config.triggerFileName);
  const std::vector<std::string> pieces = SplitExtensions(extensions);
  auto checked = [&pieces](const std::string& name) {
    for (const std::string& piece : pieces) {
      if (WildcardMatches("*." + piece, name)) return true;
    }
    return false;
  };
  std::vector<std::string> invalid;
  for (const auto& [name, file] : KeptReference().files) {
    if (strcasecmp(name.c_str(), triggerName) == 0 || !checked(name)) continue;
    integrity::Sha256Digest digest{};
    std::uint64_t size = 0;
    const std::string path = JoinLocalPath(master, name);
    const bool read = integrity::Sha256OfFile(path.c_str(), &digest, &size);
    if (read && size == file.size && digest == file.digest) continue;
    // What this run's verified manifest announces is that run's own work, as in the classic
    // check: a cycle that failed after its installation began.
    const integrity::Sha256Digest* announced =
        m_pVerified != nullptr ? m_pVerified->manifest.Find(name) : nullptr;
    if (read && announced != nullptr && *announced == digest) continue;
    invalid.push_back(name);
  }
  if (invalid.empty()) return 0;
  const char* display = TextOrEmpty(config.displayName);
  LogError(config.errorEventId, {FormatMessageId(IDS_CHECKING_INTEGRITY, {display}),
                                 FormatMessageId(IDS_INVALID_DEFINITION_FILES, {display})});
  LogError(
      config.errorEventId,
      {FormatMessageId(IDS_CHECKING_INTEGRITY, {display}),
       std::to_string(invalid.size()) +
           " installed files are missing or differ from the verified set: " + JoinNames(invalid)});
  return 1;
}
