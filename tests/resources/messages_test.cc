// The message table as the log shows it: texts formatted with their inserts, byte for byte.
#include "resources/messages.h"

#include <gtest/gtest.h>

namespace {

TEST(MessagesTest, FormatsTheTableEntries) {
  EXPECT_EQ(FormatMessageId(IDS_FAILED_TO_WRITE_FILE, {"a.dat"}),
            "Failed to write to file \"\"a.dat\"\"");
  EXPECT_EQ(FormatMessageId(IDS_COPY_FILE_TO_DIRECTORY, {"kb.dat", "/defs"}),
            "Copy the \"kb.dat\" file to the \"/defs\" directory");
  EXPECT_EQ(FormatMessageId(IDS_INVALID_DEFINITION_FILES, {"AV "}),
            "Invalid AV definition files detected.  Disabling AV  processing for this mail "
            "server.  Please contact technical support.");
  EXPECT_EQ(FormatMessageId(IDS_UPDATED_FILES, {3LL, "a, b, c"}), "Updated 3 files: a, b, c");
  EXPECT_EQ(FormatMessageId(IDS_UPDATED_FILES), "Updated  files: ");  // missing inserts
  EXPECT_EQ(FormatMessageId(20054), "");                              // no such message
}

TEST(MessagesTest, FormatterInserts) {
  EXPECT_EQ(FormatMessageText("%2-%1", {"a", "b"}), "b-a");
  EXPECT_EQ(FormatMessageText("%1!d! files", {42LL}), "42 files");
  EXPECT_EQ(FormatMessageText("%1!d! files", {"seven"}), "seven files");
  EXPECT_EQ(FormatMessageText("%1!5d!|%1!x!|%1!-4u!|", {255LL}), "  255|ff|255 |");
  EXPECT_EQ(FormatMessageText("%1", {-5LL}), "-5");
  EXPECT_EQ(FormatMessageText("100%% %1%", {"done"}), "100% done%");
  EXPECT_EQ(FormatMessageText("%0 %a %", {"x"}), "%0 %a %");
  EXPECT_EQ(FormatMessageText("%10|%100", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}),
            "ten|ten0");
  EXPECT_EQ(FormatMessageText("%1!bogus! %1!", {"x"}), "x!bogus! x!");
}

}  // namespace
