// The Linux stand-in for the parts of the Windows kernel that the library and the host rely on:
// the thread's last-error value with Windows error codes, kernel objects behind handles (events and
// threads, waitable with time-outs), critical sections and thread priorities.
//
// Every code set, read or logged is a Windows code, so that a log reads the same as on the original
// platform. errno values are translated exactly once, where they enter (ErrorFromErrno).
#ifndef FILEREPOSITORY_PLATFORM_WIN32_H_
#define FILEREPOSITORY_PLATFORM_WIN32_H_

#include <cstddef>
#include <cstdint>
#include <mutex>

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using UINT = std::uint32_t;
using BYTE = std::uint8_t;
using HANDLE = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// A handle of all ones is "no handle" for events and threads.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_IDLE = -15;

// Windows error codes used by this system.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_CRC = 23;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_DATA_DETECTED = 1104;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_INVALID_DATATYPE = 1804;

// The calling thread's last-error value.
DWORD GetLastError();
void SetLastError(DWORD code);

// Translates an errno value into the Windows code (ENOENT 2, ENOTDIR 3, EACCES/EPERM/EROFS/EISDIR/
// ETXTBSY 5, EMFILE/ENFILE 4, EEXIST 80, ENOSPC/EDQUOT 112, ENAMETOOLONG 206, EBUSY 32, EINVAL 87,
// ENOMEM 8, anything else 31; 0 stays 0).
DWORD ErrorFromErrno(int err);
// As ErrorFromErrno, but ENOENT becomes 3 (path not found) when a directory part of `path` is
// missing, as Windows reports it.
DWORD ErrorFromErrnoForPath(int err, const char* path);
// Sets the last error from errno (optionally for a path) and returns the code it set.
DWORD SetLastErrorFromErrno(int err);
DWORD SetLastErrorFromErrnoForPath(int err, const char* path);

// --- Kernel objects. Handles name reference-counted objects in a process-wide table; a handle that
// was closed (or never existed) makes every call fail with ERROR_INVALID_HANDLE, never crash.

// A manual-reset or auto-reset event. `security` and `name` must be null (named events are not
// supported: the call then fails with ERROR_INVALID_PARAMETER). Returns null on failure.
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits for an event to be signalled or a thread to end. Returns WAIT_OBJECT_0, WAIT_TIMEOUT, or
// WAIT_FAILED (last error set). A time-out of 0 tests without waiting; INFINITE waits forever.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Releases the caller's reference. Waiters on the object are not disturbed.
BOOL CloseHandle(HANDLE handle);

// The number of handles open in the process (events, threads, directory searches), so that a
// test can assert that nothing leaks handles.
std::size_t CountOpenHandles();

// Starts a thread running routine(argument). The thread's handle is signalled when the routine
// returns; the caller owns one reference to it (CloseHandle). `stackSize` is a minimum: threads
// get at least the platform's default stack, which the TLS and resolver code underneath needs.
// `name` (up to 15 bytes are used) names the thread for debuggers; it may be null.
// Returns null on failure with the last error set.
using ThreadRoutine = unsigned (*)(void* argument);
HANDLE CreatePlatformThread(const char* name, ThreadRoutine routine, void* argument,
                            std::size_t stackSize);

// Hands the caller's reference of a thread handle to the platform: it is closed as soon as the
// thread has ended and a WaitForSingleObject on it has returned WAIT_OBJECT_0 (or at once if that
// already happened). The host's thread manager uses this for handles that callers forget.
BOOL CloseHandleWhenJoined(HANDLE thread);

// Maps a Windows thread priority onto the thread's nice value: THREAD_PRIORITY_LOWEST becomes
// nice 10 and THREAD_PRIORITY_IDLE nice 19; a thread that has already ended is left alone.
BOOL SetThreadPriority(HANDLE thread, int priority);
// The nice value the thread ran with (for tests); INT32_MIN when unknown.
int GetThreadNiceValue(HANDLE thread);

// --- Critical sections: a mutex behind the Windows calls.
struct CRITICAL_SECTION {
  std::mutex* mutex = nullptr;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

// Seconds since 1 January 1970 UTC, low 32 bits.
DWORD CurrentTime32();

#endif  // FILEREPOSITORY_PLATFORM_WIN32_H_
