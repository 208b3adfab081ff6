// Overrides of the system-call table for one test: the real calls are back when the scope ends,
// whatever the test replaced or however it ended.
#ifndef FILEREPOSITORY_TESTS_PLATFORM_SCOPED_POSIX_CALLS_H_
#define FILEREPOSITORY_TESTS_PLATFORM_SCOPED_POSIX_CALLS_H_

#include "platform/files.h"

class ScopedPosixCalls {
 public:
  ScopedPosixCalls() { ResetPosixCalls(); }
  ~ScopedPosixCalls() { ResetPosixCalls(); }
  ScopedPosixCalls(const ScopedPosixCalls&) = delete;
  ScopedPosixCalls& operator=(const ScopedPosixCalls&) = delete;

  PosixCallTable* operator->() { return &PosixCalls(); }
};

#endif  // FILEREPOSITORY_TESTS_PLATFORM_SCOPED_POSIX_CALLS_H_
