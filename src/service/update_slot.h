// The per-processor update slot: stop event, host handle, illegal-updates flag, start guard, lock,
// worker thread, configuration block and the record of installed files.
//
// Two slots exist for the life of the library: g_filterSlot serves the processor named
// "MailFilter0" (compared without regard to case), g_defaultSlot every other processor.
//
// Threading: start and stop of a slot are serialised by m_lock; the worker never takes it. The
// worker reads m_pConfig, m_hMailServer and m_hStopEvent without a lock: start sets them before the
// thread exists, and stop closes them only after the thread has ended. m_installedFiles is touched
// only by the worker. m_nStarted and m_bIllegalUpdates change only by interlocked operations.
// m_verified (verified_mode.h) changes only under m_lock while no worker runs; the verified
// reference it caches is touched only by the worker.
#ifndef FILEREPOSITORY_SERVICE_UPDATE_SLOT_H_
#define FILEREPOSITORY_SERVICE_UPDATE_SLOT_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"
#include "integrity/trigger_file_data.h"
#include "platform/win32.h"
#include "service/verified_mode.h"

struct UpdateSlot {
  UpdateSlot();
  ~UpdateSlot();  // closes the handles; does not stop a running thread
  UpdateSlot(const UpdateSlot&) = delete;
  UpdateSlot& operator=(const UpdateSlot&) = delete;

  // Opens the host handle and creates the stop event where they are missing; what is open is kept.
  bool Open();
  // Closes the host handle and the stop event where they are open; the AND of the closes made.
  bool Close();
  // The update interval property (or word 17 when it cannot be read), clamped to words 25..26; 0
  // means automatic updates are off.
  DWORD GetUpdateInterval();

  HANDLE m_hStopEvent;
  _tMailServer* m_hMailServer;
  std::atomic<std::int32_t> m_bIllegalUpdates;
  std::atomic<std::int32_t> m_nStarted;
  CRITICAL_SECTION m_lock;
  HANDLE m_hThread;
  UpdateConfig* m_pConfig;
  CTriggerFileData m_installedFiles;
  // Verified mode: null in the classic mode. The reference is read from its properties at first
  // need (m_verifiedReferenceLoaded) and replaced when a cycle records a verified set.
  std::shared_ptr<const VerifiedModeSettings> m_verified;
  VerifiedReference m_verifiedReference;
  bool m_verifiedReferenceLoaded = false;
};

extern UpdateSlot g_filterSlot;
extern UpdateSlot g_defaultSlot;

// The slot that serves a processor name.
UpdateSlot& SlotForProcessor(const char* processorName);

// Start and stop of one slot, as the exports run them.
std::uint32_t StartUpdateSlot(UpdateSlot& slot, UpdateConfig* config);
void StopUpdateSlot(UpdateSlot& slot);

// The worker thread's routine; its argument is the slot.
unsigned RepositoryUpdateThreadProc(void* slot);

#endif  // FILEREPOSITORY_SERVICE_UPDATE_SLOT_H_
