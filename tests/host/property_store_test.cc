#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/mail_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

// Each test names its own sections: the in-memory store outlives a test when the whole program
// runs in one process.
class PropertyStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("VELMORA_PROPERTY_STORE");
    ASSERT_TRUE(SetPropertyStorePath(store_.c_str()));
    handle_ = OpenMailServer(0);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) CloseMailServer(handle_);
    SetPropertyStorePath(nullptr);
  }

  TempDir dir_;
  std::string store_ = dir_ / "properties.db";
  _tMailServer* handle_ = nullptr;
};

BOOL SetText(_tMailServer* handle, const char* section, const char* name, const std::string& text) {
  return SetMailServerProperty(handle, section, PROPERTY_TYPE_TEXT, name, text.c_str(),
                               static_cast<DWORD>(text.size() + 1));
}

BOOL SetNumber(_tMailServer* handle, const char* section, const char* name, DWORD value) {
  return SetMailServerProperty(handle, section, PROPERTY_TYPE_DWORD, name, &value, sizeof value);
}

// The text value of a property, or "<missing:code>" when it cannot be read.
std::string GetText(_tMailServer* handle, const char* section, const char* name) {
  char buffer[256];
  DWORD size = sizeof buffer;
  if (!GetMailServerProperty(handle, section, name, buffer, &size, nullptr)) {
    return "<missing:" + std::to_string(GetLastError()) + ">";
  }
  return std::string(buffer, size > 0 ? size - 1 : 0);
}

TEST_F(PropertyStoreTest, TooSmallOrNullBufferReportsTheSizeNeeded) {
  ASSERT_TRUE(SetText(handle_, "MailFilter0", "ServerName", "updates.example"));
  const DWORD needed = 16;  // with the NUL

  DWORD size = 1234, type = 99;
  SetLastError(0);
  EXPECT_FALSE(GetMailServerProperty(handle_, "MailFilter0", "ServerName", nullptr, &size, &type));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, PROPERTY_TYPE_TEXT);

  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  size = needed - 1;
  EXPECT_FALSE(GetMailServerProperty(handle_, "MailFilter0", "ServerName", buffer, &size, &type));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(buffer[0], 'x') << "a failed read must not write into the buffer";

  size = needed;
  ASSERT_TRUE(GetMailServerProperty(handle_, "MailFilter0", "ServerName", buffer, &size, &type));
  EXPECT_EQ(size, needed);
  EXPECT_STREQ(buffer, "updates.example");

  size = sizeof buffer;
  ASSERT_TRUE(GetMailServerProperty(handle_, "MailFilter0", "ServerName", buffer, &size, nullptr));
  EXPECT_EQ(size, needed);
}

TEST_F(PropertyStoreTest, NamesIgnoreCaseAndSetReplacesValueAndType) {
  ASSERT_TRUE(SetNumber(handle_, "MailFilter0", "UpdateInterval", 3600));
  DWORD value = 0, size = sizeof value, type = 0;
  ASSERT_TRUE(
      GetMailServerProperty(handle_, "MAILFILTER0", "updateinterval", &value, &size, &type));
  EXPECT_EQ(value, 3600u);
  EXPECT_EQ(type, PROPERTY_TYPE_DWORD);

  // Another spelling of the same name replaces the value, its size and its type.
  const unsigned char bytes[] = {1, 2, 3, 0, 5, 6};
  ASSERT_TRUE(SetMailServerProperty(handle_, "mailfilter0", PROPERTY_TYPE_UNTYPED, "UPDATEINTERVAL",
                                    bytes, sizeof bytes));
  unsigned char read[16] = {};
  size = sizeof read;
  ASSERT_TRUE(GetMailServerProperty(handle_, "MailFilter0", "UpdateInterval", read, &size, &type));
  EXPECT_EQ(size, sizeof bytes);
  EXPECT_EQ(type, PROPERTY_TYPE_UNTYPED);
  EXPECT_EQ(std::memcmp(read, bytes, sizeof bytes), 0) << "an embedded NUL must not cut the value";

  // An empty value is a value, not an absent one.
  ASSERT_TRUE(
      SetMailServerProperty(handle_, "MailFilter0", PROPERTY_TYPE_UNTYPED, "Empty", nullptr, 0));
  size = sizeof read;
  ASSERT_TRUE(GetMailServerProperty(handle_, "MailFilter0", "Empty", read, &size, &type));
  EXPECT_EQ(size, 0u);

  // Sections keep their names apart.
  EXPECT_EQ(GetText(handle_, "MailFilter1", "UpdateInterval"), "<missing:2>");
  EXPECT_EQ(GetText(handle_, "MailFilter0", "NoSuchProperty"), "<missing:2>");
}

TEST_F(PropertyStoreTest, BadArgumentsAndClosedHandlesFailCleanly) {
  DWORD value = 7, size = sizeof value;
  auto expectFailure = [](BOOL result, DWORD code) {
    EXPECT_FALSE(result);
    EXPECT_EQ(GetLastError(), code);
  };
  expectFailure(GetMailServerProperty(nullptr, "S", "N", &value, &size, nullptr),
                ERROR_INVALID_PARAMETER);
  expectFailure(GetMailServerProperty(handle_, nullptr, "N", &value, &size, nullptr),
                ERROR_INVALID_PARAMETER);
  expectFailure(GetMailServerProperty(handle_, "S", nullptr, &value, &size, nullptr),
                ERROR_INVALID_PARAMETER);
  expectFailure(GetMailServerProperty(handle_, "S", "N", &value, nullptr, nullptr),
                ERROR_INVALID_PARAMETER);
  expectFailure(SetMailServerProperty(nullptr, "S", PROPERTY_TYPE_DWORD, "N", &value, 4),
                ERROR_INVALID_PARAMETER);
  expectFailure(SetMailServerProperty(handle_, "S", PROPERTY_TYPE_TEXT, "N", nullptr, 3),
                ERROR_INVALID_PARAMETER);
  expectFailure(SetMailServerProperty(handle_, "S", PROPERTY_TYPE_DWORD, "N", &value, 2),
                ERROR_INVALID_PARAMETER);
  expectFailure(SetMailServerProperty(handle_, "S", 7, "N", &value, 4), ERROR_INVALID_PARAMETER);
  expectFailure(CloseMailServer(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenMailServer(1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  _tMailServer* closed = OpenMailServer(0);
  ASSERT_NE(closed, nullptr);
  ASSERT_TRUE(CloseMailServer(closed));
  expectFailure(GetMailServerProperty(closed, "S", "N", &value, &size, nullptr),
                ERROR_INVALID_HANDLE);
  expectFailure(SetMailServerProperty(closed, "S", PROPERTY_TYPE_DWORD, "N", &value, 4),
                ERROR_INVALID_HANDLE);
  expectFailure(CloseMailServer(closed), ERROR_INVALID_HANDLE);
  expectFailure(GetMailServerProperty(reinterpret_cast<_tMailServer*>(0x1234567), "S", "N", &value,
                                      &size, nullptr),
                ERROR_INVALID_HANDLE);
}

TEST_F(PropertyStoreTest, FileIsPrivateAndSharedBetweenHandles) {
  ASSERT_TRUE(SetText(handle_, "MailFilter0", "LastUpdate", "written by the first handle"));
  _tMailServer* second = OpenMailServer(0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetText(second, "MailFilter0", "LastUpdate"), "written by the first handle");
  ASSERT_TRUE(SetText(second, "MailFilter0", "LastUpdate", "replaced by the second"));
  EXPECT_EQ(GetText(handle_, "MailFilter0", "LastUpdate"), "replaced by the second");
  ASSERT_TRUE(CloseMailServer(second));

  for (const std::string& file : {store_, store_ + "-wal"}) {
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0) << file;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
  }
}

TEST_F(PropertyStoreTest, UnusableStorePathsAreRefusedWithTheirCause) {
  EXPECT_FALSE(SetPropertyStorePath(dir_.path().c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetPropertyStorePath((dir_ / "missing/properties.db").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  testing_support::WriteFile(dir_ / "not-a-store", std::string(4096, 'x'));
  EXPECT_FALSE(SetPropertyStorePath((dir_ / "not-a-store").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);

  // The store in force is still the one named before.
  _tMailServer* handle = OpenMailServer(0);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(SetText(handle_, "Refused", "Name", "value"));
  EXPECT_EQ(GetText(handle, "Refused", "Name"), "value");
  CloseMailServer(handle);
}

TEST_F(PropertyStoreTest, EnvironmentVariableAndInMemoryStores) {
  ASSERT_TRUE(SetText(handle_, "Modes", "Where", "configured"));
  ASSERT_TRUE(SetPropertyStorePath(nullptr));

  const std::string envStore = dir_ / "from-environment.db";
  ASSERT_EQ(::setenv("VELMORA_PROPERTY_STORE", envStore.c_str(), 1), 0);
  _tMailServer* fromEnv = OpenMailServer(0);
  ASSERT_NE(fromEnv, nullptr);
  EXPECT_EQ(GetText(fromEnv, "Modes", "Where"), "<missing:2>");
  ASSERT_TRUE(SetText(fromEnv, "Modes", "Where", "environment"));
  EXPECT_TRUE(testing_support::FileExists(envStore));

  ASSERT_EQ(::unsetenv("VELMORA_PROPERTY_STORE"), 0);
  _tMailServer* memoryA = OpenMailServer(0);
  _tMailServer* memoryB = OpenMailServer(0);
  ASSERT_NE(memoryA, nullptr);
  ASSERT_NE(memoryB, nullptr);
  EXPECT_EQ(GetText(memoryA, "Modes", "Where"), "<missing:2>");
  ASSERT_TRUE(SetText(memoryA, "Modes", "Where", "memory"));
  EXPECT_EQ(GetText(memoryB, "Modes", "Where"), "memory");

  // Handles keep the store they were opened on.
  EXPECT_EQ(GetText(fromEnv, "Modes", "Where"), "environment");
  EXPECT_EQ(GetText(handle_, "Modes", "Where"), "configured");
  for (_tMailServer* h : {fromEnv, memoryA, memoryB}) EXPECT_TRUE(CloseMailServer(h));
}

// A child process writes many properties while this process reads and writes others in the same
// file: neither may see a failure, in particular no "database is locked".
TEST_F(PropertyStoreTest, TwoProcessesWriteAndReadAtOnce) {
  constexpr int kCount = 1000;
  ASSERT_TRUE(SetText(handle_, "Shared", "Start", "go"));
  CloseMailServer(handle_);
  handle_ = nullptr;  // no connection may cross the fork

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = 0;
    _tMailServer* handle = OpenMailServer(0);
    if (handle == nullptr) ::_exit(100);
    for (int i = 0; i < kCount; ++i) {
      std::string name = "child" + std::to_string(i);
      if (!SetNumber(handle, "Shared", name.c_str(), static_cast<DWORD>(i))) ++failures;
      if (GetText(handle, "Shared", "Start") != "go") ++failures;
    }
    CloseMailServer(handle);
    ::_exit(failures > 0 ? 1 : 0);
  }

  handle_ = OpenMailServer(0);
  ASSERT_NE(handle_, nullptr);
  int failures = 0;
  for (int i = 0; i < kCount; ++i) {
    std::string name = "parent" + std::to_string(i);
    if (!SetNumber(handle_, "Shared", name.c_str(), static_cast<DWORD>(i))) {
      ADD_FAILURE() << "write " << i << " failed with " << GetLastError();
      ++failures;
    }
    DWORD value = 0, size = sizeof value;
    BOOL read = GetMailServerProperty(handle_, "Shared", "child0", &value, &size, nullptr);
    if (!read && GetLastError() != ERROR_FILE_NOT_FOUND) {
      ADD_FAILURE() << "read " << i << " failed with " << GetLastError();
      ++failures;
    }
    if (failures > 5) break;
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child saw failures";

  for (int i = 0; i < kCount; ++i) {
    std::string name = "child" + std::to_string(i);
    DWORD value = 0, size = sizeof value;
    ASSERT_TRUE(GetMailServerProperty(handle_, "Shared", name.c_str(), &value, &size, nullptr))
        << name;
    EXPECT_EQ(value, static_cast<DWORD>(i));
  }
}

}  // namespace
