// A list of in-process subscribers to one kind of host event (log entries, property writes).
#ifndef FILEREPOSITORY_HOST_SUBSCRIBERS_H_
#define FILEREPOSITORY_HOST_SUBSCRIBERS_H_

#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace host_internal {

template <typename... Args>
class SubscriberList {
 public:
  using Subscriber = std::function<void(Args...)>;

  int Add(Subscriber subscriber) {
    std::lock_guard lock(mutex_);
    const int token = next_++;
    subscribers_.emplace(token, std::move(subscriber));
    return token;
  }

  void Remove(int token) {
    std::lock_guard lock(mutex_);
    subscribers_.erase(token);
  }

  // Subscribers run under the lock, so once Remove has returned its subscriber is never called
  // again and may be destroyed. A subscriber that throws must not take the calling thread down.
  void Deliver(Args... args) {
    std::lock_guard lock(mutex_);
    for (auto& [token, subscriber] : subscribers_) {
      try {
        subscriber(args...);
      } catch (...) {
      }
    }
  }

 private:
  std::mutex mutex_;
  std::map<int, Subscriber> subscribers_;
  int next_ = 1;
};

}  // namespace host_internal

#endif  // FILEREPOSITORY_HOST_SUBSCRIBERS_H_
