// A complete UpdateConfig for tests, owning its texts, with values that keep the schedule and the
// cycle in a test's reach: a one-second wait step, short intervals, a temporary root directory.
#ifndef FILEREPOSITORY_TESTS_SUPPORT_TEST_CONFIG_H_
#define FILEREPOSITORY_TESTS_SUPPORT_TEST_CONFIG_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"

namespace testing_support {

// Counts the host callbacks and answers them as told.
struct CallbackLog {
  std::atomic<int> prepareCalls{0};
  std::atomic<int> updatesAvailableCalls{0};
  std::atomic<int> nothingToAbsorbCalls{0};
  std::atomic<std::uint32_t> prepareResult{1};
  std::atomic<std::uint32_t> updatesAvailableResult{1};
  std::atomic<std::uint32_t> nothingToAbsorbResult{1};
};

class TestConfig {
 public:
  // `processor` names the slot and the property section; `root` is the root directory.
  TestConfig(const std::string& processor, const std::string& root);
  TestConfig(const TestConfig&) = delete;
  TestConfig& operator=(const TestConfig&) = delete;

  UpdateConfig* get() { return &config_; }
  UpdateConfig& operator*() { return config_; }
  UpdateConfig* operator->() { return &config_; }
  CallbackLog& callbacks() { return callbacks_; }

  // Sets a text word to a copy of `value` that this object keeps alive (null for nullptr).
  void SetText(const char* UpdateConfig::*word, const char* value);

  const std::string& processor() const { return processor_; }
  const std::string& root() const { return root_; }
  std::string definitionsDir() const { return root_ + "/definitions"; }
  std::string backupDir() const { return root_ + "/backup"; }

  // Property helpers on a handle of the test's own.
  void SetDword(const char* name, std::uint32_t value, bool untyped = false);
  bool GetDword(const char* name, std::uint32_t* value);
  void SetString(const char* name, const std::string& value, bool untyped = false);
  // Polls the number property `name` until it exists with a value other than `unlike`, for at
  // most `limit`; true with the value then. The worker's published next-update time is watched
  // this way to see a pass end.
  bool WaitForDwordOtherThan(const char* name, std::uint32_t unlike, std::uint32_t* value,
                             std::chrono::milliseconds limit = std::chrono::seconds(120));
  bool GetString(const char* name, std::string* value);

  ~TestConfig();

 private:
  std::string processor_;
  std::string root_;
  UpdateConfig config_{};
  CallbackLog callbacks_;
  std::deque<std::string> texts_;  // a text's address stays while more are added
  _tMailServer* server_ = nullptr;
};

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_SUPPORT_TEST_CONFIG_H_
