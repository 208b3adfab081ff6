// Internal to the platform layer: the objects behind handles and the process-wide handle table.
//
// A handle is a key into one table that maps it to a shared reference of its object. Every call
// that takes a handle looks it up under the table's lock and then works on its own reference, so
// a handle closed by another thread meanwhile never leaves a call holding freed memory. Handle
// values come from a counter that never repeats, so a stale handle cannot name a newer object.
#ifndef FILEREPOSITORY_PLATFORM_KERNEL_OBJECTS_H_
#define FILEREPOSITORY_PLATFORM_KERNEL_OBJECTS_H_

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/win32.h"

namespace platform_internal {

class KernelObject {
 public:
  KernelObject() = default;
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
};

// An object that a WaitForSingleObject can wait on: a signalled state guarded by a mutex.
class WaitableObject : public KernelObject {
 public:
  WaitableObject(bool manualReset, bool signalled)
      : manualReset_(manualReset), signalled_(signalled) {}

  void Signal();
  void Reset();
  // True when the object was (or became) signalled within `milliseconds`; an auto-reset object
  // is reset by the wait that it satisfies.
  bool Wait(DWORD milliseconds);

  // Called after a wait through `handle` returned WAIT_OBJECT_0.
  virtual void OnWaitSatisfied(HANDLE handle) { (void)handle; }

 protected:
  std::mutex mutex_;
  std::condition_variable changed_;

 private:
  const bool manualReset_;
  bool signalled_;
};

// Enters `object` into the table and returns its new handle; null (last error
// ERROR_NOT_ENOUGH_MEMORY) when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind `handle`, or null with ERROR_INVALID_HANDLE set when the handle is not open
// or names an object of another kind.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// Removes `handle` from the table when it names an object of kind T; false (ERROR_INVALID_HANDLE
// set) otherwise. The object lives on while other references to it exist.
bool RemoveHandle(HANDLE handle, bool (*isKind)(const KernelObject&));
template <typename T>
bool RemoveHandleOf(HANDLE handle) {
  return RemoveHandle(handle, [](const KernelObject& object) {
    return dynamic_cast<const T*>(&object) != nullptr;
  });
}

}  // namespace platform_internal

#endif  // FILEREPOSITORY_PLATFORM_KERNEL_OBJECTS_H_
