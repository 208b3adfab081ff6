// The property store through the host's C functions: typed values under names that ignore case,
// the size needed when a buffer is too small, values kept across reopening, and two processes
// writing the same file at once.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "host/mail_server.h"
#include "support/temp_dir.h"

namespace {

BOOL SetNumber(_tMailServer* handle, const char* section, const char* name, DWORD value) {
  return SetMailServerProperty(handle, section, PROPERTY_TYPE_DWORD, name, &value, sizeof value);
}

// The type and value of a property as "type:bytes", or "<missing:code>" when it cannot be read.
std::string Get(_tMailServer* handle, const char* section, const char* name) {
  char buffer[256];
  DWORD size = sizeof buffer, type = 99;
  if (!GetMailServerProperty(handle, section, name, buffer, &size, &type)) {
    return "<missing:" + std::to_string(GetLastError()) + ">";
  }
  return std::to_string(type) + ":" + std::string(buffer, size);
}

std::string Number(DWORD value) {
  return "4:" + std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST(PropertyStoreTest, RoundTripSurvivesReopeningWhileTwoProcessesWriteAtOnce) {
  testing_support::TempDir dir;
  ::unsetenv("VELMORA_PROPERTY_STORE");
  EXPECT_FALSE(SetPropertyStorePath("/proc/no/properties.db"));         // refused where it is set
  testing_support::WriteFile(dir / "text.db", std::string(4096, 't'));  // not a database
  EXPECT_FALSE(SetPropertyStorePath((dir / "text.db").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  EXPECT_FALSE(SetPropertyStorePath(dir.path().c_str()));  // a directory
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetPropertyStorePath((dir / "properties.db").c_str()));
  _tMailServer* handle = OpenMailServer(0);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(SetMailServerProperty(handle, "MailFilter0", PROPERTY_TYPE_TEXT, "ServerName",
                                    "updates.example", 16));
  ASSERT_TRUE(SetNumber(handle, "MailFilter0", "UpdateInterval", 3600));
  ASSERT_TRUE(SetNumber(handle, "MailFilter0", "Record", 7));
  // Another spelling of the same name replaces the value, its size and its type.
  ASSERT_TRUE(
      SetMailServerProperty(handle, "mailfilter0", PROPERTY_TYPE_UNTYPED, "RECORD", "a\0b", 3));
  // A DWORD of another size than four bytes, and an unknown type, are refused and change nothing.
  const char eight[8] = {};
  for (const auto& [type, size] :
       {std::pair<DWORD, DWORD>{PROPERTY_TYPE_DWORD, 3}, {PROPERTY_TYPE_DWORD, 8}, {7, 4}}) {
    EXPECT_FALSE(SetMailServerProperty(handle, "MailFilter0", type, "Record", eight, size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }

  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD size = 15, type = 99;
  EXPECT_FALSE(GetMailServerProperty(handle, "MailFilter0", "ServerName", buffer, &size, &type));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(type, PROPERTY_TYPE_TEXT);
  EXPECT_EQ(buffer[0], 'x') << "a failed read must not write into the buffer";
  ASSERT_TRUE(CloseMailServer(handle));  // no connection may cross the fork

  // Both processes reopen the store and write many properties at once: neither may see a failure,
  // in particular no "database is locked".
  constexpr int kCount = 1000;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  const std::string writer = child == 0 ? "child" : "parent";
  handle = OpenMailServer(0);
  int failures = handle == nullptr ? 1 : 0;
  for (int i = 0; i < kCount && failures == 0; ++i) {
    if (!SetNumber(handle, "Shared", (writer + std::to_string(i)).c_str(), i)) ++failures;
    if (Get(handle, "MailFilter0", "UpdateInterval") != Number(3600)) ++failures;
  }
  if (child == 0) ::_exit(failures);
  EXPECT_EQ(failures, 0) << "last error " << GetLastError();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw failures";

  EXPECT_EQ(Get(handle, "MAILFILTER0", "servername"), std::string("1:updates.example\0", 18));
  EXPECT_EQ(Get(handle, "MailFilter0", "Record"), std::string("0:a\0b", 5));
  EXPECT_EQ(Get(handle, "MailFilter1", "ServerName"), "<missing:2>");  // sections stay apart
  EXPECT_EQ(Get(handle, "Shared", "child999"), Number(999));
  EXPECT_TRUE(CloseMailServer(handle));
  SetPropertyStorePath(nullptr);
}

}  // namespace
