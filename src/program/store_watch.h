// Wakes a waiting thread when the property store changes on disk, so that a command that waits
// for a worker's published property sees it at once instead of at its next look.
#ifndef FILEREPOSITORY_PROGRAM_STORE_WATCH_H_
#define FILEREPOSITORY_PROGRAM_STORE_WATCH_H_

#include <string>

namespace updater {

// Watches the directory of the store's database file for writes to that file or its companions
// (its write-ahead log, its shared index, its journal). The watch is only a hint: where it cannot
// be set up (no inotify, a file system that reports nothing), fd() is -1 and callers keep looking
// at the store in their own steps.
class StoreWatch {
 public:
  explicit StoreWatch(const std::string& storePath);
  ~StoreWatch();
  StoreWatch(const StoreWatch&) = delete;
  StoreWatch& operator=(const StoreWatch&) = delete;

  // Readable after a write to the store; -1 when there is no watch.
  int fd() const { return fd_; }
  // Consumes what made fd() readable. True when a write to the store was among it (other files
  // of the directory, such as a log, make it readable too).
  bool Drain();

 private:
  int fd_ = -1;
  std::string storeName_;  // the database file's name, the prefix of its companions' names
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_STORE_WATCH_H_
