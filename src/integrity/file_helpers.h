// Whole-file reading into, and writing from, a buffer of the host's tracing allocator.
#ifndef FILEREPOSITORY_INTEGRITY_FILE_HELPERS_H_
#define FILEREPOSITORY_INTEGRITY_FILE_HELPERS_H_

#include "platform/win32.h"

// Reads the whole file at `path` into a new buffer from CMemoryDebugging::TraceAllocate, which
// belongs to the caller (release it with CMemoryDebugging::TraceDeallocate).
//   - open fails or the file is 2^32 bytes or longer: FALSE, *buffer and *length untouched;
//   - otherwise *length becomes the file's length, a buffer already in *buffer is released, and
//     a new one allocated; allocation failure: FALSE with *buffer null;
//   - fewer bytes than the length arrive, or a read fails: FALSE, the buffer released and *buffer
//     null.
// A null `path`, `buffer` or `length` fails with ERROR_INVALID_PARAMETER and touches nothing.
BOOL ReadFileIntoBuffer(const char* path, BYTE** buffer, DWORD* length);

// Creates or truncates the file at `path` and writes the bytes into it.
//   - open fails: FALSE, last error the operating system's reason (a directory in the way: 5);
//   - `lengthHigh` not 0: FALSE, last error ERROR_INVALID_PARAMETER, the file left empty;
//   - a write fails: FALSE, last error the reason (disk full: 112), what was written stays.
// Null `data` with a non-zero length, or a null `path`, fails with ERROR_INVALID_PARAMETER.
BOOL WriteBufferToFile(const void* data, DWORD lengthLow, DWORD lengthHigh, const char* path);

#endif  // FILEREPOSITORY_INTEGRITY_FILE_HELPERS_H_
