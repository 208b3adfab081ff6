#include "support/open_gate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

int MakeGroup() {
  return fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
}

void Allow(int group, int eventFd) {
  const fanotify_response response{eventFd, FAN_ALLOW};
  if (write(group, &response, sizeof response) < 0) {
    // The opener has died meanwhile; there is nobody left to answer.
  }
  close(eventFd);
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

OpenGate::OpenGate(const std::vector<std::string>& directories) : group_(MakeGroup()) {
  if (group_ < 0) throw std::runtime_error(std::string("fanotify_init: ") + std::strerror(errno));
  for (const std::string& directory : directories) {
    if (fanotify_mark(group_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD,
                      directory.c_str()) != 0) {
      const int cause = errno;
      close(group_);
      throw std::runtime_error("fanotify_mark " + directory + ": " + std::strerror(cause));
    }
  }
}

OpenGate::~OpenGate() {
  if (held_ >= 0) Allow(group_, held_);
  close(group_);  // answers every open still waiting on the group
}

std::optional<OpenGate::Open> OpenGate::HoldFirst(const Matcher& matcher,
                                                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  alignas(fanotify_event_metadata) char buffer[8192];
  std::optional<Open> held;
  while (!held && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{group_, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    const ssize_t length = read(group_, buffer, sizeof buffer);
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->fd < 0) continue;  // the queue overflowed; nothing to answer
      char link[64], target[PATH_MAX];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", event->fd);
      const ssize_t size = readlink(link, target, sizeof target - 1);
      const Open open{event->pid, std::string(target, size < 0 ? 0 : size)};
      if (!held && event->pid != getpid() && matcher(open)) {
        held = open;
        held_ = event->fd;
      } else {
        Allow(group_, event->fd);
      }
    }
  }
  return held;
}

}  // namespace testing_support
