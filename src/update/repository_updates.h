// CRepositoryUpdates: one update attempt of one processor, independent of the transport.
//
// The worker loop builds a run object for one pass over its slot, lets it run one update cycle
// (RunUpdateCycle) or one integrity check (CheckInstalledFiles; after a failed cycle both, on the
// same object), and destroys it. The base holds what every transport needs and reaches the server
// only through the six operations of the transport contract, declared here in their fixed order:
// Connect, Disconnect, IsConnected and FetchFile belong to the transport; CheckForUpdates and
// GetFilesToUpdate are written once here.
//
// A run object and everything it owns belong to one worker thread. It shares with other threads
// only the slot's stop event, host handle and property store, none of which it closes.
#ifndef FILEREPOSITORY_UPDATE_REPOSITORY_UPDATES_H_
#define FILEREPOSITORY_UPDATE_REPOSITORY_UPDATES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"
#include "integrity/sha256.h"
#include "integrity/signed_manifest.h"
#include "integrity/trigger_file_data.h"
#include "platform/internet/internet.h"
#include "platform/win32.h"
#include "service/verified_mode.h"

struct UpdateSlot;
struct CyclePlan;

using CStringList = std::list<std::string>;

// Allocation tag of the run object's buffers in the host's tracing allocator.
inline constexpr const char* kRepositoryUpdatesTag = "RepositoryUpdates";

class CRepositoryUpdates {
 public:
  virtual ~CRepositoryUpdates();
  CRepositoryUpdates(const CRepositoryUpdates&) = delete;
  CRepositoryUpdates& operator=(const CRepositoryUpdates&) = delete;

  // --- The transport contract, in this order.
  // Probes, connects and loads the server's trigger file into m_pRemoteTriggerFile. On failure it
  // has logged why and holds no connection.
  virtual BOOL Connect() = 0;
  // Releases the connection, if any. Harmless when none is held.
  virtual void Disconnect() = 0;
  virtual BOOL IsConnected() = 0;
  // Non-zero when the server's trigger file differs from the local copy in the backup directory
  // (which it loads for GetFilesToUpdate).
  virtual BOOL CheckForUpdates();
  // Parses the server's trigger file into m_triggerData and appends the names to download.
  virtual BOOL GetFilesToUpdate(CStringList& list);
  // Downloads one file into the backup directory, checked against m_triggerData.
  virtual BOOL FetchFile(const std::string& name) = 0;

  // --- Verified mode (service/verified_mode.h). Reads file `name` of the updates directory (the
  // manifest or its signature) whole into `content` through the connection that Connect made,
  // unless the server gives it as larger than `limit` bytes. False, logging nothing, with the
  // last error ERROR_FILE_NOT_FOUND when the server has no such file, ERROR_NOT_ENOUGH_MEMORY
  // when it is larger, another code when the transfer failed. The base has no transport and
  // fails with ERROR_GEN_FAILURE.
  virtual BOOL FetchSigningFile(const std::string& name, std::uint64_t limit, std::string& content);

  // --- The dry run: what RunPreparedCycle would do, found without writing a file or a property,
  // deleting anything or calling a hook of the block. It sets the directories as
  // PrepareDirectories would (without its hook, and without making the root directory),
  // connects, makes the choice of files and plans the installation or, in verified mode, the
  // restore. Entries are logged where the cycle would log them on the same road (a failed
  // Connect, a refusal of the signed set), and only there.
  void PlanCycle(CyclePlan& plan);
  // For the dry run: whether the transport reads the server's listing (FTP does, HTTP does not),
  // and the size it gives file `name`, matched as FetchFile matches it; false when it lacks it.
  virtual bool ReadsListing() const;
  virtual bool ListedSize(const std::string& name, std::uint64_t& size) const;

  // --- The update cycle and the integrity check.
  // RunUpdateCycle is PrepareDirectories and, when that succeeds, RunPreparedCycle. The worker
  // runs the two steps itself: the preparation hook may change the server address and with it
  // the kind of run object the rest of the cycle needs. A run object of the other kind then
  // takes over the prepared state with AdoptPreparation and runs the rest.
  BOOL RunUpdateCycle();
  BOOL PrepareDirectories();
  BOOL RunPreparedCycle();
  void AdoptPreparation(const CRepositoryUpdates& prepared);
  DWORD CheckInstalledFiles();

  // --- Steps of the cycle.
  BOOL IsUpdateAbsorbed();
  BOOL FetchFiles(CStringList& list);
  BOOL InstallFiles();
  BOOL WriteTriggerFiles();
  BOOL SaveInstalledFiles(const CTriggerFileData& list);

  // --- Steps of a verified cycle (verified_cycle.cc); none runs in the classic mode.
  // Fetches and verifies the manifest and its signature, the version against the installed one
  // and the trigger file against the manifest; a refusal logs one error entry. On success the
  // manifest is m_pVerified.
  BOOL VerifyAnnouncement();
  // Every name of the parsed trigger file (m_triggerData) must be in the verified manifest.
  BOOL CheckListedNames();
  // The installation of a verified set: the trigger file's names only, each backup copy checked
  // against the manifest just before it is copied.
  BOOL InstallVerifiedFiles();
  // With the server's set already installed: puts back every installed file that differs from
  // the verified manifest, from its backup copy when that verifies, else from the server, and
  // signals the engine again. `restored` tells whether anything was put back.
  BOOL RestoreVerifiedSet(BOOL& restored);
  // After a successful verified cycle: records the verified set as the reference when it differs
  // from the one kept (a new set, a restore, a newer signature of the same set, or none kept).
  void SaveVerifiedReference();

  // Appends the names in `directory` matching "*.<piece>" for each comma-separated piece of
  // `extensions` ("*" lists every entry, "." and ".." included); returns how many it appended.
  static DWORD ListFiles(const std::string& directory, const std::string& extensions,
                         CStringList& list);

  // One operation or error entry: event id, then the texts (a title and a detail). The first
  // text of the entry is word 24 (operations) or word 23 (errors). Texts are logged as given:
  // where a server's text or a URL may hold the login password, it was masked where it entered
  // (MaskPassword).
  void LogOperation(DWORD eventId, std::initializer_list<std::string_view> texts);
  void LogError(DWORD eventId, std::initializer_list<std::string_view> texts);

  const UpdateConfig& Config() const;

 protected:
  explicit CRepositoryUpdates(UpdateSlot* slot);

  // For the transports' FetchFile: whether a name from the server's trigger file may become a
  // file in the backup directory. A plain name (no directory part) that is none of the
  // updater's own files (own_names.h), in any letter case; the transports refuse others (123).
  BOOL IsFetchableName(const std::string& name) const;
  // For the transports' FetchFile, in verified mode: the SHA-256 of one download attempt, taken
  // while its bytes arrive. Made afresh for each attempt and set on its file before the first
  // read (DownloadObserver), it spares MatchesTriggerData a second pass over the buffer.
  class DownloadDigest final : public InternetFileObserver {
   public:
    void OnDelivered(const void* data, std::size_t size) override { hasher_.Update(data, size); }
    // The digest when exactly `size` bytes were delivered; false otherwise (it is spent then).
    bool DigestOf(std::uint64_t size, integrity::Sha256Digest* digest);

   private:
    integrity::Sha256Hasher hasher_;
  };
  // `digest` in verified mode, null in the classic mode: the observer to set on a download.
  InternetFileObserver* DownloadObserver(DownloadDigest& digest) const;
  // For the transports' FetchFile. Whether the `size` bytes at `buffer` have the CRC-32 that the
  // server's trigger file gives `name` (true when it gives none) and, in verified mode, the
  // manifest's SHA-256; else the last error is ERROR_CRC. `received` is the attempt's digest,
  // taken for the buffer's when it saw exactly `size` bytes (else the buffer is hashed).
  BOOL MatchesTriggerData(const std::string& name, const BYTE* buffer, std::uint64_t size,
                          DownloadDigest& received);
  // Writes a downloaded and checked file to `localPath`, releases its block (from the tracing
  // allocator) and logs a failed write.
  BOOL WriteFetchedFile(BYTE* buffer, std::uint64_t size, const std::string& localPath);
  // For the transports, before they allocate the block of a download of `size` bytes: whether a
  // file that large is taken into memory (the trigger file up to kMaxTriggerFileSize, any other
  // up to GetMaxFileSize()). When it is not, the download fails as a failed allocation does
  // (last error ERROR_NOT_ENOUGH_MEMORY), and an error entry titled with `shownName` gives the
  // size and the limit, once for the attempts at one file.
  BOOL AcceptsFileSize(std::uint64_t size, bool triggerFile, const std::string& shownName);
  // Verified mode: whether the backup copy of `name` has the SHA-256 the manifest gives (true in
  // the classic mode). A copy this run wrote and nobody changed since is taken as it was checked.
  bool BackupCopyVerifies(const std::string& name);
  void RememberVerifiedWrite(const std::string& path);

  // On the original platform the run object derives from the internet session; here the session
  // is the first member, so that it is made first and closed last, as a base would be.
  CInternetSession m_session;
  CMailServer m_mailServer;
  UpdateSlot* m_pSlot;
  std::string m_strServer;
  std::string m_strRemoteDir;
  std::string m_strUserName;
  std::string m_strPassword;
  std::string m_strDefinitionsDir;
  std::string m_strBackupDir;
  HANDLE m_hStopEvent;
  BYTE* m_pRemoteTriggerFile;
  std::uint64_t m_nRemoteTriggerFileSize;
  CTriggerFileData m_triggerData;
  BYTE* m_pLocalTriggerFile;
  DWORD m_nLocalTriggerFileSize;
  CLogRecord m_log;
  // Verified mode: the slot's settings (null: classic), and the manifest this run verified.
  std::shared_ptr<const VerifiedModeSettings> m_pVerifiedMode;
  std::unique_ptr<integrity::VerifiedManifest> m_pVerified;

 private:
  // The choice of files, in parts without side effects that GetFilesToUpdate and the dry run
  // share. Parses the server's trigger file into m_triggerData; false when it is not a valid
  // checksum list or names too many files (nothing logged).
  bool ParseServerTriggerFile();
  // Whether the pending file is in the definitions directory (IsUpdateAbsorbed without its entry).
  bool PendingFilePresent() const;
  // Appends to `list` the names of m_triggerData to download, given the local list of the last
  // installed set (empty: every name but the trigger file's own). Reads the backup directory.
  void ChooseFiles(const CTriggerFileData& local, CStringList& list);
  // Sets m_strDefinitionsDir and m_strBackupDir below the root directory `root`.
  void SetLocalDirectories(const char* root);
  // The dry run's steps (cycle_plan.cc).
  void PlanConnectedCycle(CyclePlan& plan);
  void PlanDownloads(CyclePlan& plan, const CStringList& list);
  void PlanInstallation(CyclePlan& plan, const std::vector<std::string>& setNames);
  void PlanRestore(CyclePlan& plan);
  void PlanLeftFiles(CyclePlan& plan, const std::vector<std::string>& setNames);

  // The slot's verified reference, read from its properties at first need.
  VerifiedReference& KeptReference();
  // The names of the verified set: the trigger file's names but its own. False when the trigger
  // file does not parse.
  bool VerifiedSetNames(std::vector<std::string>& names);
  // Copies a set file from the backup directory into the definitions directory after checking
  // it against the manifest; logs a failure.
  bool InstallVerifiedFile(const std::string& name);
  // Every name of `names` must be in the verified manifest; else one refusal entry.
  BOOL CheckListedNames(const std::vector<std::string>& names);
  // The verified check of the master directory against the kept reference (CheckInstalledFiles).
  DWORD CheckVerifiedFiles(const std::string& master);
  void LogRefusal(const std::string& file, const integrity::Outcome& outcome);

  std::map<std::string, std::uint64_t> m_verifiedSizes;  // set files as installed, this run
  // The backup copies this run wrote after checking their bytes against the manifest, by path:
  // device, inode, size and modification time (ns) as written. A copy found so when it is
  // installed is not read and hashed a second time.
  std::map<std::string, std::array<std::int64_t, 5>> m_verifiedWrites;
  bool m_bVerifiedSetChanged = false;  // installed or restored this run
  std::string m_lastDigestMismatch;    // the last file logged for a SHA-256 mismatch

  std::string m_lastRefusedSize;  // the shown name of the last file refused for its size
  void Log(bool error, DWORD eventId, std::initializer_list<std::string_view> texts);
  // Deletes what a killed run may have left in the definitions directory: the trigger file's
  // staging file and the copies' temporary files (names of ours only).
  void RemoveLeftoverTemporaries();

  // While set, error entries are left out: the download loop sets it around the downloads that
  // follow the first 100 failed files, whose entries would only flood the log.
  bool m_bQuietErrors = false;
};

// The largest trigger file a run takes into memory, whatever the configuration.
inline constexpr std::uint64_t kMaxTriggerFileSize = 16u << 20;
// The largest definition file a run takes into memory; process-wide, set by the embedding program
// (0 restores the default). Each file is held whole in one block, so this bounds the memory a
// server can make a run take.
inline constexpr std::uint64_t kDefaultMaxFileSize = 256u << 20;
void SetMaxFileSize(std::uint64_t bytes);
std::uint64_t GetMaxFileSize();

// The text of a configuration word, "" for null.
inline const char* TextOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

// The updates server's name for a run: word 1 when present, else the text property named by
// word 7, else word 16.
std::string ResolveServerName(const UpdateConfig& config, _tMailServer* server);

#endif  // FILEREPOSITORY_UPDATE_REPOSITORY_UPDATES_H_
