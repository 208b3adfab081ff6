#include <chrono>
#include <memory>
#include <mutex>
#include <new>

#include "platform/kernel_objects.h"
#include "platform/win32.h"

namespace platform_internal {

void WaitableObject::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  changed_.notify_all();
}

void WaitableObject::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool WaitableObject::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto isSignalled = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    changed_.wait(lock, isSignalled);
  } else if (!signalled_) {
    // A steady clock, so that a change of the wall clock neither shortens nor stretches a wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (!changed_.wait_until(lock, deadline, isSignalled)) return false;
  }
  if (!manualReset_) signalled_ = false;
  return true;
}

namespace {

class EventObject final : public WaitableObject {
 public:
  using WaitableObject::WaitableObject;
};

}  // namespace
}  // namespace platform_internal

using platform_internal::EventObject;
using platform_internal::WaitableObject;

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name) {
  if (security != nullptr || name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<EventObject> event;
  try {
    event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return platform_internal::InsertHandle(std::move(event));
}

BOOL SetEvent(HANDLE event) {
  auto object = platform_internal::LookupHandleAs<EventObject>(event);
  if (object == nullptr) return FALSE;
  object->Signal();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = platform_internal::LookupHandleAs<EventObject>(event);
  if (object == nullptr) return FALSE;
  object->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  // The reference keeps the object alive through the wait even if the handle is closed meanwhile.
  auto object = platform_internal::LookupHandleAs<WaitableObject>(handle);
  if (object == nullptr) return WAIT_FAILED;
  if (!object->Wait(milliseconds)) return WAIT_TIMEOUT;
  object->OnWaitSatisfied(handle);
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
  return platform_internal::RemoveHandleOf<WaitableObject>(handle) ? TRUE : FALSE;
}
