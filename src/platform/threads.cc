#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/kernel_objects.h"
#include "platform/win32.h"

namespace platform_internal {
namespace {

constexpr int kUnknownNice = INT32_MIN;

// Windows priorities -15 (idle) .. 15 (time critical) onto nice 19 .. -20, monotone: the named
// levels land on nice 19, 10, 5, 0, -5, -10 and -20, anything between them in between.
int NiceForPriority(int priority) {
  if (priority <= THREAD_PRIORITY_IDLE) return 19;
  if (priority < THREAD_PRIORITY_LOWEST) return 11 + (-3 - priority) * 7 / 11;
  if (priority <= 2) return -5 * priority;
  if (priority < 15) return -11 - (priority - 3) * 8 / 11;
  return -20;
}

// A thread is a manual-reset object signalled when its routine returns. The object also carries
// what SetThreadPriority needs (the kernel thread id) and the bookkeeping of
// CloseHandleWhenJoined.
//
// The thread is joinable, and the first wait that sees it signalled also joins it: the routine
// has returned by then, but the thread still runs its thread-local destructors (libraries keep
// per-thread state there). Joining means that once a wait on a thread returns, the thread and
// everything it held are gone, as on Windows, so a caller that unloads or exits next leaves
// nothing half torn down. A thread whose handle goes without a wait is detached instead.
class ThreadObject final : public WaitableObject {
 public:
  ThreadObject() : WaitableObject(/*manualReset=*/true, /*signalled=*/false) {}
  ~ThreadObject() override {
    if (hasThread_ && !reaped_) pthread_detach(thread_);
  }

  // On the creating thread, right after pthread_create and before anyone can wait.
  void Attach(pthread_t thread) {
    std::lock_guard<std::mutex> lock(reapMutex_);
    thread_ = thread;
    hasThread_ = true;
  }

  // On the new thread, before its routine runs.
  void Started(pid_t tid, int nice) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tid_ = tid;
      nice_ = nice;
    }
    changed_.notify_all();
  }

  // On the new thread, after its routine returned.
  void Ended() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    Signal();
  }

  void WaitUntilStarted() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return tid_ != 0; });
  }

  bool SetNice(int nice) {
    // Under the lock the thread cannot pass Ended(), so its id still names this thread and
    // not a newer one that reused it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return true;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    nice_ = nice;
    return true;
  }

  int Nice() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_) {
      // -1 is a valid nice value, so only errno tells a failure.
      errno = 0;
      int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid_));
      if (errno == 0) nice_ = nice;
    }
    return nice_;
  }

  void CloseWhenJoined(HANDLE handle) {
    bool closeNow = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closeWhenJoined_ = true;
      closeNow = joined_ && !handleReleased_;
      if (closeNow) handleReleased_ = true;
    }
    if (closeNow) RemoveHandleOf<ThreadObject>(handle);
  }

  void OnWaitSatisfied(HANDLE handle) override {
    Reap();
    bool closeNow = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      joined_ = true;
      closeNow = closeWhenJoined_ && !handleReleased_;
      if (closeNow) handleReleased_ = true;
    }
    if (closeNow) RemoveHandleOf<ThreadObject>(handle);
  }

 private:
  // Joins the ended thread once; later waiters find it joined. A thread never joins itself.
  void Reap() {
    std::lock_guard<std::mutex> lock(reapMutex_);
    if (!hasThread_ || reaped_ || pthread_equal(thread_, pthread_self())) return;
    pthread_join(thread_, nullptr);
    reaped_ = true;
  }

  std::mutex reapMutex_;
  pthread_t thread_{};
  bool hasThread_ = false;
  bool reaped_ = false;
  pid_t tid_ = 0;
  int nice_ = kUnknownNice;
  bool ended_ = false;
  bool joined_ = false;
  bool closeWhenJoined_ = false;
  bool handleReleased_ = false;
};

struct ThreadStart {
  std::shared_ptr<ThreadObject> object;
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  char name[16] = {};  // the kernel keeps 15 bytes and the terminator
};

void* ThreadMain(void* startArgument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(startArgument));
  if (start->name[0] != '\0') pthread_setname_np(pthread_self(), start->name);
  errno = 0;
  int nice = ::getpriority(PRIO_PROCESS, 0);
  start->object->Started(::gettid(), errno == 0 ? nice : kUnknownNice);

  start->routine(start->argument);

  std::shared_ptr<ThreadObject> object = std::move(start->object);
  start.reset();
  object->Ended();
  return nullptr;
}

std::size_t StackSizeFor(const pthread_attr_t& attr, std::size_t requested) {
  std::size_t size = 0;
  if (pthread_attr_getstacksize(&attr, &size) != 0) size = 0;
  size = std::max({size, requested, static_cast<std::size_t>(PTHREAD_STACK_MIN)});
  long page = ::sysconf(_SC_PAGESIZE);
  std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
  return (size + pageSize - 1) / pageSize * pageSize;
}

}  // namespace
}  // namespace platform_internal

using platform_internal::ThreadObject;

HANDLE CreatePlatformThread(const char* name, ThreadRoutine routine, void* argument,
                            std::size_t stackSize) {
  if (routine == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<platform_internal::ThreadStart> start;
  try {
    start = std::make_unique<platform_internal::ThreadStart>();
    start->object = std::make_shared<ThreadObject>();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  start->routine = routine;
  start->argument = argument;
  if (name != nullptr) std::strncpy(start->name, name, sizeof start->name - 1);
  std::shared_ptr<ThreadObject> object = start->object;

  HANDLE handle = platform_internal::InsertHandle(object);
  if (handle == nullptr) return nullptr;

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, platform_internal::StackSizeFor(attr, stackSize));
    pthread_t thread;
    if (rc == 0) rc = pthread_create(&thread, &attr, platform_internal::ThreadMain, start.get());
    if (rc == 0) object->Attach(thread);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    platform_internal::RemoveHandleOf<ThreadObject>(handle);
    // EAGAIN means the system is out of threads or memory for a stack; Windows says the same
    // with ERROR_NOT_ENOUGH_MEMORY.
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(rc));
    return nullptr;
  }
  start.release();  // the new thread owns it now

  // The id must be known before the caller can ask for a priority.
  object->WaitUntilStarted();
  return handle;
}

BOOL CloseHandleWhenJoined(HANDLE thread) {
  auto object = platform_internal::LookupHandleAs<ThreadObject>(thread);
  if (object == nullptr) return FALSE;
  object->CloseWhenJoined(thread);
  return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  auto object = platform_internal::LookupHandleAs<ThreadObject>(thread);
  if (object == nullptr) return FALSE;
  return object->SetNice(platform_internal::NiceForPriority(priority)) ? TRUE : FALSE;
}

int GetThreadNiceValue(HANDLE thread) {
  auto object = platform_internal::LookupHandleAs<ThreadObject>(thread);
  if (object == nullptr) return INT32_MIN;
  return object->Nice();
}
