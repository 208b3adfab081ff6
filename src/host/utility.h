// Stand-in for the mail server's utility library: managed threads, the tracing allocator,
// directory creation and the reversible text form of binary property values.
#ifndef FILEREPOSITORY_HOST_UTILITY_H_
#define FILEREPOSITORY_HOST_UTILITY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/mail_server.h"
#include "platform/win32.h"

extern "C" {

// Starts a managed thread running routine(argument). Returns the thread's handle, which can be
// waited on with WaitForSingleObject; INVALID_HANDLE_VALUE (all ones) on failure.
//
// The handle belongs to the thread manager: callers wait on it and then forget it. The manager
// releases the handle of a thread once the thread has ended and a wait on its handle has
// reported that end; waiting again on such a handle fails with ERROR_INVALID_HANDLE, it never
// touches freed memory. An exception that leaves the routine is caught by the manager, written to
// the log (source "ThreadManager") and ends the thread. The stack size is a minimum.
using ManagedThreadRoutine = unsigned (*)(void* argument);
HOST_API HANDLE BeginManagedThread(const char* name, ManagedThreadRoutine routine, DWORD stackSize,
                                   void* argument);

// Makes a directory and every missing parent. Non-zero on success (also when it already exists as
// a directory); on failure the last error says why (a file standing in the way: ERROR_ACCESS_DENIED
// or ERROR_PATH_NOT_FOUND as the file system reports it; a null or empty path:
// ERROR_INVALID_PARAMETER).
HOST_API BOOL CreateDirectoryPath(const char* path);

// Encodes `length` bytes as text (lower-case hexadecimal, two characters a byte) into `dest`,
// which holds `capacity` characters plus a terminating NUL. Fails (dest "" when capacity allows
// nothing) when the capacity is below twice the length or an argument is null.
HOST_API BOOL EncodePropertyText(const void* source, DWORD length, char* dest, DWORD capacity);
// Decodes NUL-terminated encoded text into `dest`; on entry *length is the capacity, on return the
// number of bytes decoded. Decoding stops at the first character pair that is not hexadecimal or
// when the capacity is reached; the bytes decoded before are kept.
HOST_API BOOL DecodePropertyText(const char* source, void* dest, DWORD* length);

}  // extern "C"

// The tracing allocator. Every block carries a tag (the source unit's name) and the line of the
// allocation; the allocator counts the blocks outstanding per tag, so a test can assert that a
// run released everything it took. Thread-safe. A request of 0 bytes returns a valid block.
class HOST_API CMemoryDebugging {
 public:
  // Null on failure (last error ERROR_NOT_ENOUGH_MEMORY); callers check.
  static void* TraceAllocate(std::size_t size, const char* tag, int line);
  // Releases a block from TraceAllocate; null is ignored.
  static void TraceDeallocate(void* block);

  // Blocks outstanding under `tag` (all tags when null).
  static std::size_t OutstandingBlocks(const char* tag = nullptr);
  // Test hook: the next `count` allocations after `skip` further successful ones fail. 0, 0
  // restores normal service.
  static void FailAllocations(std::size_t skip, std::size_t count);
};

#endif  // FILEREPOSITORY_HOST_UTILITY_H_
