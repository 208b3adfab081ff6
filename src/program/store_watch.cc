#include "program/store_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace updater {

StoreWatch::StoreWatch(const std::string& storePath) {
  const std::filesystem::path path(storePath);
  storeName_ = path.filename().string();
  const std::string directory = path.has_parent_path() ? path.parent_path().string() : ".";
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  // SQLite writes the log and the database with write(2); the shared index only through a mapping,
  // which inotify does not see, but every commit also writes the log.
  if (::inotify_add_watch(fd_, directory.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

StoreWatch::~StoreWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool StoreWatch::Drain() {
  if (fd_ < 0) return false;
  bool store = false;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return store;  // EAGAIN: drained
    }
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const std::size_t length = event->len != 0 ? std::strlen(event->name) : 0;
      if (event->mask & IN_Q_OVERFLOW) store = true;  // events were lost: assume the worst
      if (length >= storeName_.size() &&
          std::memcmp(event->name, storeName_.data(), storeName_.size()) == 0) {
        store = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace updater
