#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/mail_server.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using testing_support::LogCapture;
using testing_support::ReadFile;
using testing_support::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every test leaves the log as it found it: configured by the environment, line sink on.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("VELMORA_LOG_FORMAT");
    ::unsetenv("VELMORA_LOG_FILE");
    ResetLogConfiguration();
  }
  void TearDown() override { SetUp(); }

  TempDir dir_;
};

TEST(LogFormatTest, JsonLineEscapesEverythingJsonRequires) {
  LogEntry entry;
  entry.time = "2026-12-05T19:44:16Z";
  entry.error = true;
  entry.source = "VARAZO";
  entry.event = 20051;
  entry.first = "say \"hi\"";
  entry.texts = {"C:\\defs\\file.dat",
                 "line1\nline2\r\t\b\f",
                 std::string("ctl\x01\x1f\x7f", 6),
                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",  // valid UTF-8 passes through
                 "bad \xff, cut \xe2\x82, overlong \xc0\xaf, surrogate \xed\xa0\x80",
                 ""};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kJson),
            R"({"time":"2026-12-05T19:44:16Z","kind":"error","source":"VARAZO","event":20051,)"
            R"("first":"say \"hi\"","texts":["C:\\defs\\file.dat","line1\nline2\r\t\b\f",)"
            "\"ctl\\u0001\\u001f\x7f\",\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\","
            R"("bad \u00ff, cut \u00e2\u0082, overlong \u00c0\u00af, )"
            R"(surrogate \u00ed\u00a0\u0080",""]})");

  entry.error = false;
  entry.texts.clear();
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kJson),
            R"({"time":"2026-12-05T19:44:16Z","kind":"operation","source":"VARAZO",)"
            R"("event":20051,"first":"say \"hi\"","texts":[]})");
}

TEST(LogFormatTest, TextLineIsOneReadableLine) {
  LogEntry entry{"2026-12-05T19:44:16Z",
                 true,
                 "VARAZO",
                 20051,
                 "MailFilter0",
                 {"Connecting to the server", "12029"}};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kText),
            "2026-12-05T19:44:16Z error VARAZO[20051] MailFilter0: Connecting to the server | "
            "12029");
  entry = {"2026-12-05T19:44:16Z", false, "S", 7, "", {"two\nlines", "C:\\path\x01"}};
  EXPECT_EQ(FormatLogLine(entry, LogFormat::kText),
            "2026-12-05T19:44:16Z operation S[7] two\\nlines | C:\\path\\x01");
}

TEST_F(LogTest, EnvironmentChoosesJsonLinesAppendedToAFile) {
  const std::string file = dir_ / "log.jsonl";
  testing_support::WriteFile(file, "earlier line\n");
  ASSERT_EQ(::setenv("VELMORA_LOG_FORMAT", "json", 1), 0);
  ASSERT_EQ(::setenv("VELMORA_LOG_FILE", file.c_str(), 1), 0);
  ResetLogConfiguration();

  CLogRecord log(nullptr, "VARAZO", nullptr);
  const char* texts[] = {"Updating the MailFilter0 definition files", nullptr};
  log.LogOperationVa("MailFilter0", 20001, 2, texts);
  log.LogErrorVa(nullptr, 20059, 0, nullptr);
  log.Flush();

  std::vector<std::string> lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(file);
  EXPECT_EQ(lines[0], "earlier line");
  const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",)");
  EXPECT_TRUE(std::regex_search(lines[1], time)) << lines[1];
  EXPECT_EQ(lines[1].substr(31),
            R"("kind":"operation","source":"VARAZO","event":20001,"first":"MailFilter0",)"
            R"("texts":["Updating the MailFilter0 definition files",""]})");
  EXPECT_EQ(lines[2].substr(31),
            R"("kind":"error","source":"VARAZO","event":20059,"first":"","texts":[]})");

  // ConfigureLog overrides the environment until the configuration is reset.
  const std::string other = dir_ / "other.log";
  ConfigureLog(LogFormat::kText, other.c_str());
  log.LogErrorVa("first", 1, 0, nullptr);
  ResetLogConfiguration();
  log.LogErrorVa("first", 2, 0, nullptr);
  EXPECT_EQ(Lines(ReadFile(other)).size(), 1u);
  EXPECT_NE(ReadFile(other).find(" error VARAZO[1] first\n"), std::string::npos);
  EXPECT_EQ(Lines(ReadFile(file)).size(), 4u);
}

TEST_F(LogTest, DefaultIsTextOnStderr) {
  const std::string file = dir_ / "stderr.txt";
  int saved = ::dup(STDERR_FILENO);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(saved, 0);
  ASSERT_GE(fd, 0);
  ::dup2(fd, STDERR_FILENO);
  const char* texts[] = {"Attempting to absorb updates.", "0"};
  CLogRecord(nullptr, "VARAZO", nullptr).LogOperationVa("MailFilter0", 20112, 2, texts);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(fd);
  std::vector<std::string> lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(
      "Z operation VARAZO[20112] MailFilter0: Attempting to absorb updates. | 0"))
      << lines[0];
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
  const std::string file = dir_ / "threads.log";
  ConfigureLog(LogFormat::kJson, file.c_str());
  constexpr int kThreads = 4, kEntries = 250;
  const std::string longText(300, 'y');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CLogRecord log(nullptr, "Worker", nullptr);
      std::string mine = std::to_string(t) + longText;
      const char* texts[] = {mine.c_str()};
      for (int i = 0; i < kEntries; ++i) log.LogOperationVa("", static_cast<DWORD>(i), 1, texts);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> lines = Lines(ReadFile(file));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEntries));
  const std::regex whole(R"(^\{"time":"[^"]+","kind":"operation","source":"Worker","event":\d+,)"
                         R"("first":"","texts":\["\dy{300}"\]\}$)");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST_F(LogTest, CaptureSeesEntriesAndSilencesTheLineSink) {
  const std::string file = dir_ / "quiet.log";
  ConfigureLog(LogFormat::kText, file.c_str());
  CLogRecord log(nullptr, "VARAZO", nullptr);
  {
    LogCapture capture;
    const char* texts[] = {"title", "detail"};
    std::thread([&] { log.LogErrorVa("MailFilter0", 20105, 2, texts); }).join();
    std::optional<LogEntry> entry = capture.WaitFor(testing_support::IsError(20105));
    ASSERT_TRUE(entry.has_value()) << capture.Dump();
    EXPECT_EQ(entry->source, "VARAZO");
    EXPECT_EQ(entry->first, "MailFilter0");
    EXPECT_EQ(testing_support::Describe(*entry), "error 20105 [title | detail]");
    EXPECT_FALSE(
        capture.WaitFor(testing_support::IsOperation(20105), std::chrono::milliseconds(0)));
    EXPECT_TRUE(capture.Contains(testing_support::HasText("deta")));
    EXPECT_EQ(ReadFile(file), "");
  }
  log.LogOperationVa("after", 1, 0, nullptr);
  EXPECT_EQ(Lines(ReadFile(file)).size(), 1u) << "the line sink is restored";
}

}  // namespace
