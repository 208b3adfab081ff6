#include "support/open_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

int MakeGroup() {
  return fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
}

std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = readlink(link, target, sizeof target - 1);
  return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

std::string OpenGate::Unavailable() {
  const int group = MakeGroup();
  if (group < 0) {
    return std::string("fanotify permission events are not available here (") +
           std::strerror(errno) + "); they need CAP_SYS_ADMIN";
  }
  close(group);
  return "";
}

OpenGate::OpenGate(const std::vector<std::string>& directories) {
  group_ = MakeGroup();
  if (group_ < 0) throw std::runtime_error(std::string("fanotify_init: ") + std::strerror(errno));
  for (const std::string& directory : directories) {
    if (fanotify_mark(group_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                      directory.c_str()) != 0) {
      const int cause = errno;
      close(group_);
      throw std::runtime_error("fanotify_mark " + directory + ": " + std::strerror(cause));
    }
  }
  stop_ = eventfd(0, EFD_CLOEXEC);
  watcher_ = std::thread([this] { Watch(); });
}

OpenGate::~OpenGate() {
  const std::uint64_t one = 1;
  if (write(stop_, &one, sizeof one) < 0) {
    // Cannot happen for an eventfd below its maximum; the join below would then hang visibly.
  }
  watcher_.join();
  Release();
  close(group_);  // answers every open still waiting on the group
  close(stop_);
}

void OpenGate::HoldFirst(Matcher matcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  matcher_ = std::move(matcher);
}

std::optional<OpenGate::Open> OpenGate::WaitHeld(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  held_.wait_for(lock, timeout, [this] { return heldOpen_.has_value(); });
  return heldOpen_;
}

void OpenGate::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  matcher_ = nullptr;
  if (heldFd_ >= 0) Allow(heldFd_);
  heldFd_ = -1;
  heldOpen_.reset();
}

void OpenGate::Allow(int eventFd) {
  fanotify_response response{};
  response.fd = eventFd;
  response.response = FAN_ALLOW;
  if (write(group_, &response, sizeof response) < 0) {
    // The opener has died meanwhile; there is nobody left to answer.
  }
  close(eventFd);
}

void OpenGate::Watch() {
  alignas(fanotify_event_metadata) char buffer[8192];
  const pid_t self = getpid();
  for (;;) {
    pollfd fds[2] = {{group_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    const ssize_t length = read(group_, buffer, sizeof buffer);
    if (length <= 0) continue;
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->fd < 0) continue;  // the queue overflowed; nothing to answer
      if (event->pid == self) {
        Allow(event->fd);
        continue;
      }
      Open open{event->pid, PathOf(event->fd)};
      std::lock_guard<std::mutex> lock(mutex_);
      if (heldFd_ < 0 && matcher_ && matcher_(open)) {
        matcher_ = nullptr;
        heldFd_ = event->fd;
        heldOpen_ = open;
        held_.notify_all();
      } else {
        Allow(event->fd);
      }
    }
  }
}

}  // namespace testing_support
