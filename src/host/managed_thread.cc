// Managed threads: a platform thread whose routine is guarded against escaping exceptions and
// whose handle the thread manager releases once a waiter has seen the thread end.
#include <cxxabi.h>

#include <exception>
#include <memory>
#include <string>

#include "host/utility.h"

namespace {

struct ManagedThreadStart {
  std::string name;
  ManagedThreadRoutine routine;
  void* argument;
};

void LogEscapedException(const std::string& thread, const char* what) {
  const char* texts[] = {thread.c_str(), what};
  CLogRecord log(nullptr, "ThreadManager", nullptr);
  log.LogErrorVa("An exception ended the thread", 0, 2, texts);
}

unsigned RunManagedThread(void* argument) {
  std::unique_ptr<ManagedThreadStart> start(static_cast<ManagedThreadStart*>(argument));
  try {
    return start->routine(start->argument);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation unwinds through here and must not be swallowed
  } catch (const std::exception& e) {
    LogEscapedException(start->name, e.what());
  } catch (...) {
    LogEscapedException(start->name, "unknown exception");
  }
  return ~0u;
}

}  // namespace

HANDLE BeginManagedThread(const char* name, ManagedThreadRoutine routine, DWORD stackSize,
                          void* argument) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  ManagedThreadStart* start;
  try {
    start = new ManagedThreadStart{name != nullptr ? name : "", routine, argument};
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE thread = CreatePlatformThread(name, RunManagedThread, start, stackSize);
  if (thread == nullptr || thread == INVALID_HANDLE_VALUE) {
    delete start;  // the thread never ran, so it never took ownership
    return INVALID_HANDLE_VALUE;
  }
  CloseHandleWhenJoined(thread);
  return thread;
}
