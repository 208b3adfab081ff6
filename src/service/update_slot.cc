#include "service/update_slot.h"

#include <strings.h>

#include "host/utility.h"
#include "service/property_helpers.h"

UpdateSlot::UpdateSlot()
    : m_hStopEvent(INVALID_HANDLE_VALUE),
      m_hMailServer(nullptr),
      m_bIllegalUpdates(0),
      m_nStarted(0),
      m_hThread(nullptr),
      m_pConfig(nullptr) {
  InitializeCriticalSection(&m_lock);
}

UpdateSlot::~UpdateSlot() {
  Close();
  DeleteCriticalSection(&m_lock);
}

bool UpdateSlot::Open() {
  if (m_hMailServer == nullptr) m_hMailServer = OpenMailServer(0);
  if (m_hMailServer == nullptr) return false;
  if (m_hStopEvent == INVALID_HANDLE_VALUE) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
    m_hStopEvent = event;
  }
  return true;
}

bool UpdateSlot::Close() {
  bool closed = true;
  if (m_hMailServer != nullptr) {
    closed = CloseMailServer(m_hMailServer) != FALSE && closed;
    m_hMailServer = nullptr;
  }
  if (m_hStopEvent != INVALID_HANDLE_VALUE) {
    closed = CloseHandle(m_hStopEvent) != FALSE && closed;
    m_hStopEvent = INVALID_HANDLE_VALUE;
  }
  return closed;
}

DWORD UpdateSlot::GetUpdateInterval() {
  const UpdateConfig& config = *m_pConfig;
  DWORD interval = 0;
  if (!GetDwordProperty(m_hMailServer, config.processorName, config.updateIntervalProperty,
                        interval)) {
    interval = config.defaultUpdateInterval;
  }
  if (interval == 0) return 0;
  if (interval > config.maxUpdateInterval) return config.maxUpdateInterval;
  if (interval < config.minUpdateInterval) return config.minUpdateInterval;
  return interval;
}

UpdateSlot& SlotForProcessor(const char* processorName) {
  if (processorName != nullptr && strcasecmp(processorName, "MailFilter0") == 0) {
    return g_filterSlot;
  }
  return g_defaultSlot;
}

// The start guard changes only under the slot's lock, in start as in stop. Were it taken before
// the lock, a stop could slip in between a start's guard and its lock, find nothing to stop, and
// leave the thread that start goes on to create running behind a guard of 0: no later stop would
// join it, and the next start would run a second worker on the same slot.
std::uint32_t StartUpdateSlot(UpdateSlot& slot, UpdateConfig* config) {
  // A started slot changes nothing; a stop under way then simply comes after this start.
  if (slot.m_nStarted.load() != 0) return 1;
  EnterCriticalSection(&slot.m_lock);
  std::int32_t stopped = 0;
  if (!slot.m_nStarted.compare_exchange_strong(stopped, 1)) {
    LeaveCriticalSection(&slot.m_lock);
    return 1;
  }
  if (slot.Open()) {
    slot.m_pConfig = config;
    slot.m_hThread =
        BeginManagedThread("RepositoryUpdateThread", RepositoryUpdateThreadProc, 32768, &slot);
    if (slot.m_hThread != INVALID_HANDLE_VALUE) {
      SetThreadPriority(slot.m_hThread, THREAD_PRIORITY_LOWEST);
      LeaveCriticalSection(&slot.m_lock);
      return 1;
    }
  }
  slot.Close();
  slot.m_nStarted.fetch_sub(1);
  LeaveCriticalSection(&slot.m_lock);
  return 0;
}

void StopUpdateSlot(UpdateSlot& slot) {
  EnterCriticalSection(&slot.m_lock);
  std::int32_t started = 1;
  if (slot.m_nStarted.compare_exchange_strong(started, 0)) {
    if (slot.m_hStopEvent != INVALID_HANDLE_VALUE) SetEvent(slot.m_hStopEvent);
    WaitForSingleObject(slot.m_hThread, INFINITE);
    slot.m_hThread = INVALID_HANDLE_VALUE;
    slot.Close();
  }
  LeaveCriticalSection(&slot.m_lock);
}
