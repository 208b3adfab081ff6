// A run object whose transport answers from a script instead of a server: each Connect takes the
// next scripted outcome. A successful connect delivers an empty trigger file (an empty set), so the
// real cycle then runs to its end: nothing to fetch, the nothing-to-absorb callback, the record.
#ifndef FILEREPOSITORY_TESTS_SERVICE_FAKE_RUN_OBJECT_H_
#define FILEREPOSITORY_TESTS_SERVICE_FAKE_RUN_OBJECT_H_

#include <deque>
#include <memory>
#include <mutex>

#include "host/utility.h"
#include "service/transport_factory.h"
#include "update/repository_updates.h"

namespace testing_support {

class FakeScript {
 public:
  static FakeScript& Get() {
    static FakeScript script;
    return script;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.clear();
    connects_ = 0;
    runObjects_ = 0;
    workers_ = 0;
  }
  void Push(bool connectSucceeds) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(connectSucceeds);
  }
  // The next outcome; a script that ran out connects successfully.
  bool Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++connects_;
    if (outcomes_.empty()) return true;
    const bool outcome = outcomes_.front();
    outcomes_.pop_front();
    return outcome;
  }
  // Called on the worker thread: counts run objects and the distinct worker threads that made
  // them (a thread-local mark, since thread ids are reused once a thread has ended).
  void NoteRunObject() {
    thread_local bool seen = false;
    std::lock_guard<std::mutex> lock(mutex_);
    ++runObjects_;
    if (!seen) {
      seen = true;
      ++workers_;
    }
  }
  int connects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connects_;
  }
  int runObjects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runObjects_;
  }
  int workers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_;
  }

 private:
  std::mutex mutex_;
  std::deque<bool> outcomes_;
  int connects_ = 0;
  int runObjects_ = 0;
  int workers_ = 0;
};

class FakeRunObject : public CRepositoryUpdates {
 public:
  explicit FakeRunObject(UpdateSlot* slot) : CRepositoryUpdates(slot) {
    FakeScript::Get().NoteRunObject();
  }
  ~FakeRunObject() override = default;

  BOOL Connect() override {
    if (!FakeScript::Get().Next()) {
      LogError(Config().errorEventId, {"fake connect", "refused"});
      return FALSE;
    }
    m_pRemoteTriggerFile = static_cast<BYTE*>(CMemoryDebugging::TraceAllocate(0, "Fake", 0));
    m_nRemoteTriggerFileSize = 0;
    connected_ = true;
    return TRUE;
  }
  void Disconnect() override { connected_ = false; }
  BOOL IsConnected() override { return connected_ ? 1 : 0; }
  BOOL FetchFile(const std::string&) override { return FALSE; }

  static std::unique_ptr<CRepositoryUpdates> Make(UpdateSlot* slot) {
    return std::make_unique<FakeRunObject>(slot);
  }

 private:
  bool connected_ = false;
};

// Installs the fake factory for one test.
class FakeTransportScope {
 public:
  FakeTransportScope() {
    FakeScript::Get().Reset();
    SetRunObjectFactoryForTesting(&FakeRunObject::Make);
  }
  ~FakeTransportScope() { SetRunObjectFactoryForTesting(nullptr); }
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SERVICE_FAKE_RUN_OBJECT_H_
