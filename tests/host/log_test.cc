// The log's line sinks: the exact text and JSON lines, whole lines from many threads, the file
// in force after a change, and stderr when the file cannot be written.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/mail_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadFile;

TEST(LogFormatTest, JsonKeepsEveryTextExactlyAndTextIsForPeople) {
  LogEntry entry{"2026-12-05T19:44:16Z", true, "VARAZO", 20051, "say \"hi\"", {}};
  entry.texts = {"C:\\defs\\file.dat", "line1\nline2\r\t\b\f", std::string("ctl\x01\x1f\x7f", 6),
                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",  // valid UTF-8 passes through
                 // A stray byte, a cut sequence, overlong forms of two, three and four bytes, a
                 // surrogate, a code point beyond U+10FFFF, a lead byte UTF-8 does not have.
                 "\xff \xe2\x82 \xc0\xaf \xed\xa0\x80 "
                 "\xe0\x9f\xbf \xf0\x8f\xbf\xbf \xf4\x90\x80\x80 \xf5\x80\x80\x80",
                 ""};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kJson),
            R"({"time":"2026-12-05T19:44:16Z","kind":"error","source":"VARAZO","event":20051,)"
            R"("first":"say \"hi\"","texts":["C:\\defs\\file.dat","line1\nline2\r\t\b\f",)"
            "\"ctl\\u0001\\u001f\x7f\",\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\","
            R"("\u00ff \u00e2\u0082 \u00c0\u00af \u00ed\u00a0\u0080 \u00e0\u009f\u00bf )"
            R"(\u00f0\u008f\u00bf\u00bf \u00f4\u0090\u0080\u0080 \u00f5\u0080\u0080\u0080",""]})");

  entry = {"2026-12-05T19:44:16Z", true, "VARAZO", 20051, "MailFilter0", {"Connecting", "12029"}};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kText),
            "2026-12-05T19:44:16Z error VARAZO[20051] MailFilter0: Connecting | 12029");
  // For people: line breaks inside a text continue the entry indented, those at its end go, and
  // a code the describer knows gets its meaning (never a title, never a number among words).
  SetLogCodeDescriber([](DWORD code) { return std::string(code == 1460 ? "timed out" : ""); });
  entry = {"2026-12-05T19:44:16Z",
           false,
           "S\n",
           7,
           "",
           {"1460", "two\r\nlines\n", "C:\\p\x01\x7f\r", "1460", "12029", " 1460", "1460\r\n"}};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kText),
            "2026-12-05T19:44:16Z operation S\\n[7] 1460 | two\n    lines | C:\\p\\x01\\x7f\\r | "
            "1460 [timed out] | 12029 |  1460 | 1460");
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kJson),
            R"({"time":"2026-12-05T19:44:16Z","kind":"operation","source":"S\n","event":7,)"
            R"("first":"","texts":["1460","two\r\nlines\n","C:\\p\u0001)"
            "\x7f"
            R"(\r","1460","12029",)"
            R"(" 1460","1460\r\n"]})");
  SetLogCodeDescriber(nullptr);
}

TEST(LogTest, LinesGoWholeToTheFileInForceOrElseToStderr) {
  testing_support::TempDir dir;
  const std::string file = dir / "threads.log";
  testing_support::WriteFile(file, "earlier line\n");
  setenv("VELMORA_LOG_FORMAT", "Json", 1);  // the format's name in any case
  setenv("VELMORA_LOG_FILE", file.c_str(), 1);
  ResetLogConfiguration();
  constexpr int kThreads = 4, kEntries = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      CLogRecord log(nullptr, "Worker", nullptr);
      const std::string mine = std::to_string(t) + std::string(300, 'y');
      const char* texts[] = {mine.c_str(), nullptr};
      for (DWORD i = 0; i < kEntries; ++i) log.LogOperationVa(nullptr, i, 2, texts);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ConfigureLog(LogFormat::kText, (dir / "moved.log").c_str());  // another file, at once
  const mode_t umask = ::umask(022);  // the file is made for other users to read
  CLogRecord(nullptr, "Moved", nullptr).LogOperationVa(nullptr, 1, 0, nullptr);
  ::umask(umask);
  EXPECT_NE(ReadFile(dir / "moved.log").find("Moved[1]"), std::string::npos);
  EXPECT_EQ(std::filesystem::status(dir / "moved.log").permissions(), std::filesystem::perms(0644));
  ConfigureLog(LogFormat::kText, dir.path().c_str());  // a file that cannot be opened: stderr
  testing::internal::CaptureStderr();
  CLogRecord(nullptr, "Kept", nullptr).LogOperationVa(nullptr, 2, 0, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Kept[2]"), std::string::npos);
  unsetenv("VELMORA_LOG_FORMAT");
  unsetenv("VELMORA_LOG_FILE");
  ResetLogConfiguration();
  EXPECT_TRUE(ReopenLogFile());  // entries on stderr: nothing to reopen, nothing failed

  std::istringstream lines(ReadFile(file));
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "earlier line");
  const std::regex whole(
      R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","kind":"operation",)"
      R"("source":"Worker","event":\d+,"first":"","texts":\["\dy{300}",""\]\}$)");
  int count = 0;
  for (; std::getline(lines, line); ++count) ASSERT_TRUE(std::regex_match(line, whole)) << line;
  EXPECT_EQ(count, kThreads * kEntries);
}

}  // namespace
