// The library's three exported entry points and the two update slots behind them.
#include "filerepository/filerepository.h"
#include "platform/win32.h"
#include "service/update_slot.h"

// Constructed in this order at library load, destroyed in the reverse order at unload.
UpdateSlot g_filterSlot;
UpdateSlot g_defaultSlot;

extern "C" FILEREPOSITORY_API uint32_t StartRepositoryUpdateThread(UpdateConfig* config) {
  if (config == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return StartUpdateSlot(SlotForProcessor(config->processorName), config);
}

extern "C" FILEREPOSITORY_API void StopRepositoryUpdateThread(void) {
  StopUpdateSlot(g_filterSlot);
  StopUpdateSlot(g_defaultSlot);
}

extern "C" FILEREPOSITORY_API uint32_t IllegalUpdatesDetected(void) {
  // Read plainly, without a lock: the worker sets a flag by an interlocked exchange.
  return (g_filterSlot.m_bIllegalUpdates.load(std::memory_order_relaxed) != 0 ||
          g_defaultSlot.m_bIllegalUpdates.load(std::memory_order_relaxed) != 0)
             ? 1
             : 0;
}
