// The integrity check of installed definition files: measures the files in the master directory
// and compares them with the slot's record of what was installed.
#include <string>

#include "integrity/crc32.h"
#include "resources/messages.h"
#include "service/property_helpers.h"
#include "service/update_slot.h"
#include "update/local_paths.h"
#include "update/repository_updates.h"

DWORD CRepositoryUpdates::CheckInstalledFiles() {
  const UpdateConfig& config = Config();
  DWORD switchValue = 0;
  if (!GetDwordProperty(m_mailServer, config.processorName, config.integrityCheckProperty,
                        switchValue)) {
    switchValue = config.defaultIntegrityCheck;
  }
  if (switchValue == config.integrityCheckOffValue) return 0;

  if (config.rootDirectory == nullptr || *config.rootDirectory == '\0') {
    if (!PrepareDirectories()) return 0;
  }
  const std::string root = TextOrEmpty(config.rootDirectory);  // as it stands after the hook
  const std::string master =
      JoinLocalPath(root, config.masterDirectory != nullptr ? config.masterDirectory : "master");

  // Verified mode, once a verified set is installed: the verified reference is the record.
  if (m_pVerifiedMode != nullptr && !KeptReference().Empty()) return CheckVerifiedFiles(master);

  CStringList names;
  ListFiles(master, TextOrEmpty(config.extensions), names);
  CTriggerFileData measured;
  for (const std::string& name : names) {
    measured.SetAt(name, GetFileCrc(JoinLocalPath(master, name).c_str()));
  }

  CTriggerFileData& installed = m_pSlot->m_installedFiles;
  if (installed.IsEmpty()) {
    std::string stored;
    if (GetStringPropertyOrEmpty(m_mailServer, config.processorName, config.installedFilesProperty,
                                 stored)) {
      installed.Decode(stored.c_str());
    }
  }
  if (installed.IsEmpty()) {
    SaveInstalledFiles(measured);  // no reference yet: what is there now becomes it
    return 0;
  }

  for (const auto& [name, value] : measured) {
    DWORD recorded = 0;
    if (!installed.Lookup(name, recorded) || recorded == value) continue;
    // A cycle that failed after its installation began (a full disk, a refused callback) has put
    // files of the new set in place without recording them. A file that holds exactly what this
    // run's trigger file announces, and what its download was checked against, is that run's own
    // work and no sign of tampering.
    DWORD announced = 0;
    if (m_triggerData.Lookup(name, announced) && announced == value) continue;
    const char* display = TextOrEmpty(config.displayName);
    LogError(config.errorEventId, {FormatMessageId(IDS_CHECKING_INTEGRITY, {display}),
                                   FormatMessageId(IDS_INVALID_DEFINITION_FILES, {display})});
    return 1;
  }
  return 0;
}
