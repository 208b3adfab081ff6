#include "resources/messages.h"

#include <gtest/gtest.h>

namespace {

TEST(MessagesTest, UnknownIdsHaveNoText) {
  EXPECT_TRUE(LoadMessage(0).empty());
  EXPECT_TRUE(LoadMessage(20054).empty());
  EXPECT_TRUE(LoadMessage(20113).empty());
}

TEST(MessagesTest, TextsAreKeptByteForByte) {
  EXPECT_EQ(LoadMessage(IDS_FAILED_TO_WRITE_FILE), "Failed to write to file \"\"%1\"\"");
  EXPECT_EQ(LoadMessage(IDS_CREATING_BACKUP_DIRECTORY),
            "Creating the backup directory \"\"%1\"\" for the  definitions.  Please create this "
            "directory manually.");
  EXPECT_EQ(LoadMessage(IDS_COPY_FILE_TO_DIRECTORY),
            "Copy the \"%1\" file to the \"%2\" directory");
  EXPECT_EQ(LoadMessage(IDS_INVALID_DEFINITION_FILES),
            "Invalid %1definition files detected.  Disabling %1 processing for this mail server.  "
            "Please contact technical support.");
  EXPECT_EQ(LoadMessage(IDS_FILE_NOT_CONSUMED),
            "The file already exists locally and has not been consumed by the  %1 engine.  This "
            "means that the %1 engine is either not running, or running using out of date "
            "definitions.");
  EXPECT_EQ(LoadMessage(IDS_ATTEMPTING_TO_ABSORB), "Attempting to absorb updates.");
}

TEST(MessagesTest, FormatsTheTableEntries) {
  EXPECT_EQ(FormatMessageId(IDS_COPY_FILE_TO_DIRECTORY, {"kb.dat", "/defs"}),
            "Copy the \"kb.dat\" file to the \"/defs\" directory");
  EXPECT_EQ(FormatMessageId(IDS_INVALID_DEFINITION_FILES, {"AV "}),
            "Invalid AV definition files detected.  Disabling AV  processing for this mail "
            "server.  Please contact technical support.");
  EXPECT_EQ(FormatMessageId(IDS_UPDATED_FILES, {3LL, "a, b, c"}), "Updated 3 files: a, b, c");
  EXPECT_EQ(FormatMessageId(IDS_UPDATED_FILES), "Updated  files: ");
  EXPECT_EQ(FormatMessageId(1), "");
}

TEST(MessagesTest, FormatterInserts) {
  EXPECT_EQ(FormatMessageText("%2-%1", {"a", "b"}), "b-a");
  EXPECT_EQ(FormatMessageText("%1!d! files", {42LL}), "42 files");
  EXPECT_EQ(FormatMessageText("%1!d! files", {"seven"}), "seven files");
  EXPECT_EQ(FormatMessageText("%1!5d!|%1!x!|%1!-4u!|", {255LL}), "  255|ff|255 |");
  EXPECT_EQ(FormatMessageText("%1", {-5LL}), "-5");
  EXPECT_EQ(FormatMessageText("%1 of %3", {"x"}), "x of ");
  EXPECT_EQ(FormatMessageText("100%% %1%", {"done"}), "100% done%");
  EXPECT_EQ(FormatMessageText("%0 %a %", {"x"}), "%0 %a %");
  EXPECT_EQ(FormatMessageText("%10|%100", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}),
            "ten|ten0");
  EXPECT_EQ(FormatMessageText("%1!bogus! %1!", {"x"}), "x!bogus! x!");
}

}  // namespace
