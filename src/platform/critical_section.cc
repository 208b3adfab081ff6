#include <mutex>
#include <new>

#include "platform/win32.h"

// A section that was never initialised (or was deleted) has no mutex; the calls then do nothing
// but set ERROR_INVALID_PARAMETER, since there is no result through which to fail.

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  if (section == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  section->mutex = new std::mutex;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
  if (section == nullptr || section->mutex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  section->mutex->lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
  if (section == nullptr || section->mutex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  section->mutex->unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
  if (section == nullptr) return;
  delete section->mutex;
  section->mutex = nullptr;
}
