// Faults injected through the platform's system-call table: short reads, a read that fails, and
// a disk that fills up part-way through a write. Installed for the lifetime of a PosixFaults.
#ifndef FILEREPOSITORY_TESTS_INTEGRITY_POSIX_FAULTS_H_
#define FILEREPOSITORY_TESTS_INTEGRITY_POSIX_FAULTS_H_

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "platform/files.h"

class PosixFaults {
 public:
  PosixFaults() { ResetPosixCalls(); }
  ~PosixFaults() { ResetPosixCalls(); }
  PosixFaults(const PosixFaults&) = delete;
  PosixFaults& operator=(const PosixFaults&) = delete;

  // Each read returns at most `limit` bytes; read number `failAt` (from 1; 0: none) fails with EIO.
  void Reads(std::size_t limit, int failAt = 0) {
    readLimit_ = limit, readFailAt_ = failAt, readCalls_ = 0;
    PosixCalls().read = [](int fd, void* buffer, std::size_t count) -> ssize_t {
      if (++readCalls_ == readFailAt_) return errno = EIO, -1;
      return realRead_(fd, buffer, std::min(count, readLimit_));
    };
  }
  // Writes take `room` bytes in all, then fail with ENOSPC.
  void FillDiskAfter(std::size_t room) {
    writeRoom_ = room;
    PosixCalls().write = [](int fd, const void* buffer, std::size_t count) -> ssize_t {
      if (writeRoom_ == 0) return errno = ENOSPC, -1;
      ssize_t done = realWrite_(fd, buffer, std::min(count, writeRoom_));
      if (done > 0) writeRoom_ -= static_cast<std::size_t>(done);
      return done;
    };
  }

 private:
  static inline ssize_t (*const realRead_)(int, void*, std::size_t) = PosixCalls().read;
  static inline ssize_t (*const realWrite_)(int, const void*, std::size_t) = PosixCalls().write;
  static inline std::size_t readLimit_ = 0, writeRoom_ = 0;
  static inline int readFailAt_ = 0, readCalls_ = 0;
};

#endif  // FILEREPOSITORY_TESTS_INTEGRITY_POSIX_FAULTS_H_
