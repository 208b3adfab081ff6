#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/kernel_objects.h"

namespace platform_internal {
namespace {

// Windows handles are multiples of four; ours are too, which keeps small integers and stray
// pointers from passing for handles. A 64-bit counter stepping by four never wraps round to 0
// or to all ones in the life of a process.
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t next = 0x1000;
};

// Never destroyed: detached threads may still close their handles while the process exits.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::uintptr_t value = table.next;
  try {
    table.objects.emplace(value, std::move(object));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  table.next += kHandleStep;
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

bool RemoveHandle(HANDLE handle, bool (*isKind)(const KernelObject&)) {
  std::shared_ptr<KernelObject> removed;  // released after the lock, in case it is the last one
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end() || !isKind(*found->second)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  removed = std::move(found->second);
  table.objects.erase(found);
  return true;
}

}  // namespace platform_internal

std::size_t CountOpenHandles() {
  platform_internal::HandleTable& table = platform_internal::Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.objects.size();
}
