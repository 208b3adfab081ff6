// A transport that serves the update run from a local directory standing in for the updates
// server, and a slot of the test's own to run it over. It lets the run's own logic (choice of
// files, fetch loop, installation, cycle, integrity check) be tested without a network; the real
// transports are tested against real servers elsewhere.
#ifndef FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_
#define FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_

#include <set>
#include <string>
#include <vector>

#include "host/utility.h"
#include "integrity/crc32.h"
#include "integrity/file_helpers.h"
#include "service/update_slot.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "update/repository_updates.h"

namespace testing_support {

// A slot like the library's, opened for one test.
class TestSlot {
 public:
  explicit TestSlot(TestConfig& config) {
    slot_.m_pConfig = config.get();
    slot_.Open();
  }
  UpdateSlot* get() { return &slot_; }
  UpdateSlot* operator->() { return &slot_; }

 private:
  UpdateSlot slot_;
};

class LocalTransport : public CRepositoryUpdates {
 public:
  LocalTransport(UpdateSlot* slot, std::string serverDir)
      : CRepositoryUpdates(slot), serverDir_(std::move(serverDir)) {}
  ~LocalTransport() override = default;

  BOOL Connect() override {
    ++connects;
    const std::string path = serverDir_ + "/" + TextOrEmpty(Config().triggerFileName);
    DWORD size = 0;
    if (m_pRemoteTriggerFile != nullptr) {
      CMemoryDebugging::TraceDeallocate(m_pRemoteTriggerFile);
      m_pRemoteTriggerFile = nullptr;
    }
    if (!ReadFileIntoBuffer(path.c_str(), &m_pRemoteTriggerFile, &size)) {
      LogError(Config().errorEventId, {"local connect", "no trigger file"});
      return FALSE;
    }
    m_nRemoteTriggerFileSize = size;
    connected_ = true;
    return TRUE;
  }
  void Disconnect() override {
    ++disconnects;
    connected_ = false;
  }
  BOOL IsConnected() override { return connected_ ? 1 : 0; }
  BOOL FetchFile(const std::string& name) override {
    fetched.push_back(name);
    BYTE* buffer = nullptr;
    DWORD size = 0;
    const std::string source = serverDir_ + "/" + name;
    if (failing.count(name) != 0 || !ReadFileIntoBuffer(source.c_str(), &buffer, &size)) {
      LogError(Config().errorEventId, {"local fetch", name});
      return FALSE;
    }
    DWORD expected = 0;
    BOOL ok = !m_triggerData.Lookup(name, expected) || GetBufferCrc(buffer, size, 0) == expected;
    if (ok) ok = WriteBufferToFile(buffer, size, 0, (m_strBackupDir + "/" + name).c_str());
    CMemoryDebugging::TraceDeallocate(buffer);
    if (!ok) LogError(Config().errorEventId, {"local fetch", name});
    return ok;
  }

  // What the test looks at and steers.
  int connects = 0;
  int disconnects = 0;
  std::vector<std::string> fetched;
  std::set<std::string> failing;
  // Members the base keeps protected.
  const std::string& definitionsDir() const { return m_strDefinitionsDir; }
  const std::string& backupDir() const { return m_strBackupDir; }
  const CTriggerFileData& triggerData() const { return m_triggerData; }
  HANDLE stopEvent() const { return m_hStopEvent; }
  void SetDirectories(const std::string& definitions, const std::string& backup) {
    m_strDefinitionsDir = definitions;
    m_strBackupDir = backup;
  }
  void SetRemoteDir(const std::string& remote) { m_strRemoteDir = remote; }

 private:
  std::string serverDir_;
  bool connected_ = false;
};

// "%x name\r\n" lines for the given files' current contents.
inline std::string ChecksumLine(const std::string& name, const std::string& content) {
  char line[32];
  snprintf(line, sizeof(line), "%x ",
           CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
  return line + name + "\r\n";
}

}  // namespace testing_support

#endif  // FILEREPOSITORY_TESTS_UPDATE_LOCAL_TRANSPORT_H_
